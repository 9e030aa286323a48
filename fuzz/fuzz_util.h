// Shared pieces of the fuzz targets: a byte reader and the invariants every target checks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <stdexcept>

#include "engine/board.h"

namespace vantor::fuzz {

// Reads integers from the fuzzer's bytes; past the end it reads zeros.
class Bytes {
 public:
  Bytes(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  std::uint32_t u32() {
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v = (v << 8) | byte();
    return v;
  }
  std::uint64_t u64() { return (std::uint64_t{u32()} << 32) | u32(); }
  std::int32_t i32() { return static_cast<std::int32_t>(u32()); }
  bool empty() const { return pos_ >= size_; }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

#define FUZZ_CHECK(condition)                                                           \
  do {                                                                                  \
    if (!(condition)) {                                                                 \
      std::fprintf(stderr, "invariant failed: %s (%s:%d)\n", #condition, __FILE__, __LINE__); \
      std::abort();                                                                     \
    }                                                                                   \
  } while (0)

class NullPrinter final : public SymbolPrinter {
 public:
  void print(std::string_view, bool) override {}
};

inline void render_quietly(const Board& board) {
  static std::FILE* sink = std::fopen("/dev/null", "w");
  NullPrinter printer;
  board.render(printer, sink);
}

inline void check_occupancies(const Board& board) {
  Bitboard white = 0, black = 0;
  for (int code = 0; code < 6; ++code) white |= board.bitboards[code];
  for (int code = 6; code < 12; ++code) black |= board.bitboards[code];
  FUZZ_CHECK(board.occupancies[kWhite] == white);
  FUZZ_CHECK(board.occupancies[kBlack] == black);
  FUZZ_CHECK(board.occupancies[kBothSides] == (white | black));
}

inline bool overlapping_pieces(const Board& board) {
  Bitboard seen = 0;
  for (Bitboard set : board.bitboards) {
    if (set & seen) return true;
    seen |= set;
  }
  return false;
}

// Everything of a board that an operation could change, move_index aside.
struct Fields {
  State game;
  std::int32_t total_move_count, just_reset;

  explicit Fields(const Board& board)
      : game(board.save_state()), total_move_count(board.total_move_count), just_reset(board.just_reset) {}

  bool operator==(const Fields& o) const {
    return game.bitboards == o.game.bitboards && game.occupancies == o.game.occupancies &&
           game.side == o.game.side && game.enpassant == o.game.enpassant && game.castle == o.game.castle &&
           game.state_history == o.game.state_history && game.state_pos == o.game.state_pos &&
           game.no_progress_count == o.game.no_progress_count &&
           game.repetition_count == o.game.repetition_count && game.n_repititions == o.game.n_repititions &&
           game.prev_n_repititions == o.game.prev_n_repititions && total_move_count == o.total_move_count &&
           just_reset == o.just_reset;
  }
};

// get_actions must leave every field but move_index as it found it, index exactly the
// actions it marks, and find exactly the moves that a trial of each pseudo-legal move
// finds legal, each under an action of its own. (Only a board with two pieces on one
// square, which no FEN text makes, can give two legal moves one action.)
inline void checked_get_actions(Board& board) {
  const Fields before(board);
  const auto mask = board.get_actions();
  FUZZ_CHECK(Fields(board) == before);
  MoveList list;
  board.generate_moves(list);
  std::size_t legal = 0;
  for (int i = 0; i < list.count; ++i) {
    if (!board.is_legal(list.moves[i])) continue;
    ++legal;
    const auto found = board.move_index.find(board.action_of(list.moves[i]));
    FUZZ_CHECK(found != board.move_index.end());
    FUZZ_CHECK(found->second == list.moves[i] || overlapping_pieces(board));
  }
  FUZZ_CHECK(legal == board.move_index.size() || overlapping_pieces(board));
  std::size_t marked = 0;
  for (int plane = 0; plane < 73; ++plane)
    for (int square = 0; square < 64; ++square)
      if (mask[plane][square]) {
        ++marked;
        FUZZ_CHECK(board.move_index.count(64 * plane + square) == 1);
      }
  FUZZ_CHECK(marked == board.move_index.size());
}

// A refused action changes nothing but just_reset (now 0) and move_index (rebuilt).
// Returns whether the action was played.
inline bool checked_step(Board& board, int action) {
  Fields before(board);
  try {
    board.step(action);
  } catch (const std::invalid_argument&) {
    before.just_reset = 0;
    FUZZ_CHECK(Fields(board) == before);
    return false;
  }
  check_occupancies(board);
  return true;
}

// An action picked among the legal ones by a fuzzer byte, or -1 when there is none.
inline int pick_legal(Board& board, std::uint8_t choice) {
  board.get_actions();
  if (board.move_index.empty()) return -1;
  auto it = board.move_index.begin();
  std::advance(it, choice % board.move_index.size());
  return it->first;
}

}  // namespace vantor::fuzz
