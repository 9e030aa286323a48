// Many threads constructing Boards at once: the first construction fills the shared
// tables while the others wait, and every reader sees them complete. Run under
// ThreadSanitizer by the test command.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>
#include <vector>

#include "engine/attacks.h"
#include "engine/board.h"

namespace vantor {
namespace {

TEST(Threads, ConcurrentConstructionAndLookups) {
  constexpr int kThreads = 8;
  std::atomic<int> mismatches{0};
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      while (!go.load()) std::this_thread::yield();
      std::mt19937_64 random(t);
      for (int round = 0; round < 20; ++round) {
        Board board;
        board.parse_fen("r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1");
        for (int i = 0; i < 200; ++i) {
          const int square = static_cast<int>(random() % 64);
          const Bitboard occupancy = random() & random();
          if (lookup_rook_attacks(square, occupancy) != slide_rook(square, occupancy)) ++mismatches;
          if (lookup_bishop_attacks(square, occupancy) != slide_bishop(square, occupancy)) ++mismatches;
        }
        // e1 is covered by nothing black in this position, d5 by the knight on f6.
        if (board.square_attacked_by(e1, kBlack) != 0) ++mismatches;
        if (board.square_attacked_by(d5, kBlack) != 1) ++mismatches;
      }
    });
  }
  go = true;
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(mismatches.load(), 0);
}

}  // namespace
}  // namespace vantor

namespace vantor {
namespace {

// A game played by fixed rules from the start: the same on every thread.
std::uint64_t scripted_game(Board& board, int seed) {
  board.reset();
  std::uint64_t digest = 0;
  for (int ply = 0; ply < 120; ++ply) {
    const auto mask = board.get_actions();
    std::vector<int> actions;
    for (int plane = 0; plane < 73; ++plane)
      for (int square = 0; square < 64; ++square)
        if (mask[plane][square]) actions.push_back(64 * plane + square);
    if (actions.empty()) break;
    const auto [side, planes, reward, done] = board.step(actions[(ply * 7 + seed) % actions.size()]);
    digest = digest * 1000003 + board.hash_state() + static_cast<std::uint64_t>(reward + 2 * done);
    if (done) break;
  }
  return digest;
}

TEST(Threads, GamesOnSeparateBoardsDoNotInterfere) {
  constexpr int kThreads = 8;
  std::vector<std::uint64_t> expected(kThreads);
  {
    Board board;
    for (int t = 0; t < kThreads; ++t) expected[t] = scripted_game(board, t);
  }
  std::vector<std::uint64_t> seen(kThreads);
  std::atomic<int> bad_roll_outs{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      Board board;
      for (int round = 0; round < 3; ++round) {
        seen[t] = scripted_game(board, t);
        const State saved = board.save_state();
        const int result = board.roll_out();
        if (result < -1 || result > 1) ++bad_roll_outs;
        board.restore_state(saved);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(seen, expected);
  EXPECT_EQ(bad_roll_outs.load(), 0);
}

}  // namespace
}  // namespace vantor
