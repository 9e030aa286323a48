// Arbitrary snapshot contents restored into a board, then stepped, listed and rolled out.
#include <stdexcept>

#include "fuzz_util.h"

using namespace vantor;
using namespace vantor::fuzz;

namespace {

State read_state(Bytes& in) {
  State s;
  for (Bitboard& set : s.bitboards) set = in.byte() & 1 ? in.u64() : 0;
  if (in.byte() & 1) {
    for (Bitboard& set : s.occupancies) set = in.u64();
  } else {
    for (int code = 0; code < 12; ++code) s.occupancies[code / 6] |= s.bitboards[code];
    s.occupancies[kBothSides] = s.occupancies[kWhite] | s.occupancies[kBlack];
  }
  const std::uint8_t flags = in.byte();
  s.side = flags & 0x80 ? in.i32() : flags & 1;
  s.enpassant = flags & 0x40 ? in.i32() : in.byte() % 65;
  s.castle = flags & 0x20 ? in.i32() : in.byte() & 15;
  s.state_pos = flags & 0x10 ? in.i32() : in.byte() % 8;
  s.no_progress_count = in.i32();
  s.n_repititions = in.i32();
  s.prev_n_repititions = in.i32();
  s.total_move_count = in.i32();
  for (int n = in.byte() % 12; n > 0; --n) {
    const std::uint8_t shape = in.byte();
    const std::size_t planes = shape & 0x80 ? shape % 20 : 14;
    const std::size_t width = shape & 0x40 ? in.byte() % 70 : 64;
    s.state_history.emplace_back(planes, std::vector<std::int32_t>(width, in.i32()));
  }
  for (int n = in.byte() % 8; n > 0; --n) s.repetition_count[in.u64()] = in.i32();
  for (int n = in.byte() % 8; n > 0; --n) s.move_index[in.i32()] = in.i32();
  return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Bytes in(data, size);
  Board board;
  if (in.byte() & 1) board.reset();
  const State snapshot = read_state(in);
  const Fields before(board);
  try {
    board.restore_state(snapshot);
  } catch (const std::invalid_argument&) {
    FUZZ_CHECK(Fields(board) == before);  // refused before anything was copied
    return 0;
  }
  render_quietly(board);
  board.hash_state();
  checked_get_actions(board);
  for (int i = 0; i < 4; ++i) {
    checked_step(board, in.i32());
    const int action = pick_legal(board, in.byte());
    if (action >= 0) FUZZ_CHECK(checked_step(board, action));
    checked_get_actions(board);
  }
  board.restore_state(snapshot);
  const int result = board.roll_out();
  FUZZ_CHECK(result >= -1 && result <= 1);
  return 0;
}
