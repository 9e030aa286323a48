// A long loop of every operation; under the sanitizer build LeakSanitizer checks at exit
// that nothing was lost.
#include <gtest/gtest.h>

#include <stdexcept>

#include "chess_util.h"
#include "engine/board.h"

namespace vantor {
namespace {

TEST(Memory, LongLoopOfEveryOperation) {
  Board board;
  board.reset();
  State saved = board.save_state();
  for (int i = 0; i < 300; ++i) {
    board.reset();
    for (int ply = 0; ply < 10; ++ply) {
      board.get_actions();
      if (board.move_index.empty()) break;
      board.step(board.move_index.begin()->first);
    }
    EXPECT_THROW(board.step(-1), std::invalid_argument);
    saved = board.save_state();
    board.roll_out();
    board.restore_state(saved);
    board.parse_fen("r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1");
    board.hash_state();
  }
  EXPECT_EQ(board.castle, 15);
}

}  // namespace
}  // namespace vantor
