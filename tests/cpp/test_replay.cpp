// The replay of recorded games against a batch playing the same moves; named Threads* so
// that ThreadSanitizer runs it too.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "batch/batch.h"
#include "batch/replay.h"
#include "engine/board.h"

namespace vantor::batch {
namespace {

constexpr int kRow = kCompactWords;

struct Recorded {
  std::vector<std::int64_t> actions, offsets{0};
  std::vector<std::uint64_t> compact, legal;  // what the batch wrote before each move
  std::vector<Start> starts;
  std::vector<std::int32_t> start_index;
};

std::vector<std::uint64_t> packed(const bool* mask) {
  std::vector<std::uint64_t> words(kPlanes, 0);
  for (int a = 0; a < kActions; ++a)
    if (mask[a]) words[static_cast<std::size_t>(a / kSquares)] |= bit(a % kSquares);
  return words;
}

// Plays one game of up to plies moves on a new batch under automatic rules, the legal
// action of rank (ply * 7 + salt) each time, recording the batch's rows.
void record(Recorded& games, const Start* from, int plies, int salt) {
  Options options;
  options.rules = Rules::automatic;
  options.planes = Planes::side_to_move;
  options.autoreset = Autoreset::disabled;
  Batch batch(options);
  std::vector<std::uint64_t> row(kRow);
  bool mask[kActions], terminated = false;
  Outputs out;
  out.compact = row.data();
  out.action_mask = mask;
  out.terminated = &terminated;
  const std::vector<int> first = {0};
  batch.reset(first, from ? std::vector<Start>{*from} : std::vector<Start>{}, out);
  games.start_index.push_back(from ? static_cast<std::int32_t>(games.starts.size()) : -1);
  if (from) games.starts.push_back(*from);
  for (int ply = 0; ply < plies && !terminated; ++ply) {
    std::vector<int> legal;
    for (int a = 0; a < kActions; ++a)
      if (mask[a]) legal.push_back(a);
    const std::int64_t action = legal[static_cast<std::size_t>(ply * 7 + salt) % legal.size()];
    games.compact.insert(games.compact.end(), row.begin(), row.end());
    const auto words = packed(mask);
    games.legal.insert(games.legal.end(), words.begin(), words.end());
    games.actions.push_back(action);
    batch.step(std::vector<std::int64_t>{action}, out);
  }
  games.offsets.push_back(static_cast<std::int64_t>(games.actions.size()));
}

struct Replayed {
  std::vector<std::uint64_t> compact, legal;
  std::vector<std::int32_t> positions;
  std::vector<std::int8_t> status, reward;
};

Replayed replayed(const Recorded& games, int threads) {
  const std::size_t rows = games.actions.size(), count = games.start_index.size();
  Replayed r{std::vector<std::uint64_t>(rows * kRow, 7), std::vector<std::uint64_t>(rows * kPlanes, 7),
             std::vector<std::int32_t>(count, -5), std::vector<std::int8_t>(count, -5),
             std::vector<std::int8_t>(count, -5)};
  const RecordedGames<std::int64_t> input{games.actions, games.offsets, games.starts, games.start_index};
  replay(input, Rules::automatic, threads, ReplayOutputs{r.compact.data(), r.legal.data(), r.positions.data(),
                                                         r.status.data(), r.reward.data()});
  return r;
}

TEST(ThreadsReplay, RowsAreTheBatchRowsOfTheSameGames) {
  Recorded games;
  const Start kiwipete{"r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R b KQkq -", 12, 30};
  for (int g = 0; g < 24; ++g) record(games, g % 3 == 1 ? &kiwipete : nullptr, 20 + 13 * g, g);
  for (int threads : {1, 3}) {
    const Replayed r = replayed(games, threads);
    EXPECT_EQ(r.compact, games.compact) << threads;
    EXPECT_EQ(r.legal, games.legal) << threads;
    for (std::size_t g = 0; g < games.start_index.size(); ++g) {
      EXPECT_EQ(r.status[g], static_cast<std::int8_t>(ReplayStatus::complete)) << g;
      EXPECT_EQ(r.positions[g], games.offsets[g + 1] - games.offsets[g]) << g;
    }
  }
}

TEST(ThreadsReplay, EndsIllegalMovesAndUnplayableStartsAreReported) {
  Recorded games;
  record(games, nullptr, 30, 1);
  // Fool's mate, then a move played past it: f3, e5, g4, Qh4#, and one more.
  const std::vector<std::int64_t> fools = {64 * 7 + 53, 64 * 8 + 12, 64 * 8 + 54, 64 * 3 + 3, 64 * 7 + 52};
  games.actions.insert(games.actions.end(), fools.begin(), fools.end());
  games.offsets.push_back(static_cast<std::int64_t>(games.actions.size()));
  games.start_index.push_back(-1);
  // A knight's jump that no knight can make from the initial position.
  games.actions.insert(games.actions.end(), {64 * 7 + 52, 64 * 56 + 20});
  games.offsets.push_back(static_cast<std::int64_t>(games.actions.size()));
  games.start_index.push_back(-1);
  // A clock at the automatic draw already, and a start without mating material.
  games.starts.push_back({"4k3/8/8/8/8/8/4P3/4K3 w - -", 150, 1});
  games.starts.push_back({"4k3/8/8/8/8/8/8/3BK3 w - -", 0, 1});
  for (std::int32_t s : {static_cast<std::int32_t>(games.starts.size()) - 2,
                         static_cast<std::int32_t>(games.starts.size()) - 1}) {
    games.actions.push_back(64 * 7 + 52);
    games.offsets.push_back(static_cast<std::int64_t>(games.actions.size()));
    games.start_index.push_back(s);
  }
  const Replayed r = replayed(games, 2);
  const std::vector<std::int8_t> status = {0, 1, 2, 3, 3};
  const std::vector<std::int32_t> positions = {30, 4, 1, 0, 0};
  const std::vector<std::int8_t> reward = {0, -1, 0, 0, 0};  // black mated white in the second game
  EXPECT_EQ(r.status, status);
  EXPECT_EQ(r.reward, reward);
  EXPECT_EQ(r.positions, positions);
  EXPECT_TRUE(std::equal(games.compact.begin(), games.compact.end(), r.compact.begin()));
}

}  // namespace
}  // namespace vantor::batch
