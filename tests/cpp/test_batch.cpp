// The worker pool and the batch of games on it; named Threads* so that ThreadSanitizer
// runs them too.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <stdexcept>
#include <vector>

#include "batch/batch.h"
#include "batch/pool.h"
#include "engine/board.h"

namespace vantor::batch {
namespace {

TEST(ThreadsPool, EveryItemOnceAndErrorsReachTheCaller) {
  WorkerPool pool(4);
  for (int count : {0, 1, 3, 100, 1001}) {
    std::vector<std::atomic<int>> seen(static_cast<std::size_t>(count));
    auto body = [&](int item, int thread) {
      ASSERT_GE(thread, 0);
      ASSERT_LT(thread, pool.size());
      seen[static_cast<std::size_t>(item)].fetch_add(1);
    };
    pool.for_each(count, body);
    for (const auto& s : seen) EXPECT_EQ(s.load(), 1);
  }
  auto failing = [](int item, int) {
    if (item == 57) throw std::runtime_error("item 57");
  };
  EXPECT_THROW(pool.for_each(200, failing), std::runtime_error);
  std::atomic<int> total = 0;
  auto counting = [&](int, int) { total.fetch_add(1); };
  pool.for_each(100, counting);  // still usable after an error
  EXPECT_EQ(total.load(), 100);
}

// Every game of a batch stepped on four threads plays as a Board stepped alone.
TEST(ThreadsBatch, GamesMatchBoardsSteppedAlone) {
  constexpr int kGames = 16;
  Options options;
  options.num_envs = kGames;
  options.threads = 4;
  Batch batch(options);
  std::vector<Board> boards(kGames);
  std::vector<std::int32_t> obs(static_cast<std::size_t>(kGames) * kObservationPlanes * kSquares);
  std::vector<std::int8_t> rewards(kGames);
  bool terminated[kGames], truncated[kGames], mask[kGames * kActions];
  Outputs out{obs.data(), nullptr, rewards.data(), terminated, truncated, mask, nullptr, nullptr};
  std::vector<int> all(kGames);
  for (int i = 0; i < kGames; ++i) all[static_cast<std::size_t>(i)] = i;
  batch.reset(all, {}, out);
  for (Board& b : boards) b.reset();
  std::vector<std::int64_t> actions(kGames);
  for (int ply = 0; ply < 120; ++ply) {
    for (int i = 0; i < kGames; ++i) {
      // The legal action of rank (ply * 7 + i) among those the batch's mask shows.
      std::vector<int> legal;
      for (int a = 0; a < kActions; ++a)
        if (mask[i * kActions + a]) legal.push_back(a);
      actions[static_cast<std::size_t>(i)] = legal.empty() ? 0 : legal[static_cast<std::size_t>(ply * 7 + i) % legal.size()];
    }
    std::vector<bool> was_over(kGames);
    for (int i = 0; i < kGames; ++i) was_over[static_cast<std::size_t>(i)] = terminated[i] || truncated[i];
    if (ply == 0) std::fill(was_over.begin(), was_over.end(), false);
    batch.step(actions, out);
    for (int i = 0; i < kGames; ++i) {
      Board& b = boards[static_cast<std::size_t>(i)];
      const StepResult r = was_over[static_cast<std::size_t>(i)] ? b.reset() : b.step(static_cast<int>(actions[static_cast<std::size_t>(i)]));
      const std::int32_t* row = obs.data() + static_cast<std::size_t>(i) * kObservationPlanes * kSquares;
      ASSERT_TRUE(std::equal(row, row + kObservationPlanes * kSquares, std::get<1>(r).data())) << ply << " " << i;
      ASSERT_EQ(rewards[static_cast<std::size_t>(i)], std::get<2>(r));
      ASSERT_EQ(terminated[i], std::get<3>(r) == 1);
      const ActionMask expected = b.get_actions();
      for (int a = 0; a < kActions; ++a) ASSERT_EQ(mask[i * kActions + a], expected[a / 64][a % 64] == 1);
    }
  }
  std::vector<std::uint64_t> hashes(kGames);
  batch.hash_state(hashes.data());
  for (int i = 0; i < kGames; ++i) EXPECT_EQ(hashes[static_cast<std::size_t>(i)], boards[static_cast<std::size_t>(i)].hash_state());
  // The batch finds moves in a list of its own; a snapshot still carries the index of the
  // position's legal actions, as get_actions left each board's.
  for (int i = 0; i < kGames; ++i)
    EXPECT_EQ(batch.save_state(i).move_index, boards[static_cast<std::size_t>(i)].move_index) << i;
}

// Refusals are found on every thread, yet the lowest refused game is the one reported,
// whatever its kind, and no game moves.
TEST(ThreadsBatch, TheLowestRefusalIsReportedAndNothingMoves) {
  constexpr int kGames = 8;
  Options options;
  options.num_envs = kGames;
  options.threads = 4;
  options.max_plies = 1;
  options.autoreset = Autoreset::disabled;
  Batch batch(options);
  std::vector<int> all(kGames);
  for (int i = 0; i < kGames; ++i) all[static_cast<std::size_t>(i)] = i;
  batch.reset(all, {}, Outputs{});
  constexpr std::int64_t kPush = 564;  // legal from the initial position
  std::vector<std::int64_t> actions(kGames, kPush);
  batch.step(actions, Outputs{});  // every game is over after its one ply
  const std::vector<int> restarted = {0, 1, 3, 4, 5, 7};
  batch.reset(restarted, {}, Outputs{});
  std::vector<std::uint64_t> before(kGames), after(kGames);
  batch.hash_state(before.data());
  auto refusal = [&] {
    try {
      batch.step(actions, Outputs{});
    } catch (const IllegalAction& e) {
      return std::pair<int, int>{0, e.index};
    } catch (const GameOver& e) {
      return std::pair<int, int>{1, e.index};
    }
    return std::pair<int, int>{-1, -1};
  };
  actions[5] = 0;
  EXPECT_EQ(refusal(), (std::pair<int, int>{1, 2}));  // game 2 is over, game 5's action not legal
  actions[1] = 0;
  EXPECT_EQ(refusal(), (std::pair<int, int>{0, 1}));
  batch.hash_state(after.data());
  EXPECT_EQ(after, before);
}

}  // namespace
}  // namespace vantor::batch
