// Arbitrary sequences of environment calls: resets, positions, legal and arbitrary
// actions, listings, snapshots and the odd roll-out.
#include <stdexcept>

#include "fuzz_util.h"

using namespace vantor;
using namespace vantor::fuzz;

namespace {

constexpr const char* kPositions[] = {
    "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1",
    "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1",
    "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - - 0 1",
    "n1n5/PPPk4/8/8/8/8/4Kppp/5N1N b - - 0 1",
    "4k3/8/8/3pP3/8/8/8/4K3 w - d6 0 1",
    "8/8/8/8/8/8/8/R7 w - - 0 1",
    "7k/5Q2/6K1/8/8/8/8/8 b - - 0 1",
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Bytes in(data, size);
  Board board;
  State saved;
  bool have_saved = false;
  int roll_outs = 0;
  for (int op = 0; op < 64 && !in.empty(); ++op) {
    switch (in.byte() % 8) {
      case 0: board.reset(); break;
      case 1: board.parse_fen(kPositions[in.byte() % std::size(kPositions)]); break;
      case 2: checked_step(board, in.i32()); break;
      case 3:
      case 4: {
        const int action = pick_legal(board, in.byte());
        if (action >= 0) FUZZ_CHECK(checked_step(board, action));
        break;
      }
      case 5: checked_get_actions(board); break;
      case 6:
        if (have_saved && in.byte() & 1) {
          board.restore_state(saved);
        } else {
          saved = board.save_state();
          have_saved = true;
        }
        break;
      case 7:
        if (roll_outs++ < 2) {
          const int result = board.roll_out();
          FUZZ_CHECK(result >= -1 && result <= 1);
        }
        break;
    }
    check_occupancies(board);
  }
  return 0;
}
