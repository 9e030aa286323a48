// Arbitrary bytes as FEN text, then a few operations on whatever position they make.
// Input: the text, optionally followed by a NUL byte and move choices.
#include <cstring>
#include <string_view>

#include "fuzz_util.h"

using namespace vantor;
using namespace vantor::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto* text = reinterpret_cast<const char*>(data);
  const std::size_t text_size = strnlen(text, size);
  Board board;
  board.parse_fen(std::string_view(text, size));  // the reader stops at the NUL itself
  check_occupancies(board);
  FUZZ_CHECK(board.enpassant == kNoSquare || on_board(board.enpassant));
  FUZZ_CHECK(board.side == kWhite || board.side == kBlack);
  render_quietly(board);
  board.hash_state();
  checked_get_actions(board);

  Bytes choices(data + text_size, size - text_size);
  for (int i = 0; i < 6; ++i) {
    const int action = pick_legal(board, choices.byte());
    if (action < 0) break;
    FUZZ_CHECK(checked_step(board, action));
    checked_get_actions(board);
    FUZZ_CHECK(!checked_step(board, choices.i32() | 0x10000));  // beyond the last action
    render_quietly(board);
    board.hash_state();
  }
  return 0;
}
