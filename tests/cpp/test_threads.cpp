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
