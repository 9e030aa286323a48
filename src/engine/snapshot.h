// State: a by-value snapshot of a Board's game fields, exchanged with Python.
#pragma once

#include <array>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "engine/rules.h"
#include "engine/types.h"

namespace vantor {

// Fields as in Board; total_move_count is only carried along (see Board::save_state).
// A new State is all zeros: an empty board, white to move, en-passant square a8 (0).
struct State {
  std::array<Bitboard, kPieceCodes> bitboards{};
  std::array<Bitboard, 3> occupancies{};
  std::int32_t side = 0;
  std::int32_t enpassant = 0;
  std::int32_t castle = 0;
  std::vector<std::vector<std::vector<std::int32_t>>> state_history;
  std::unordered_map<std::int32_t, std::int32_t> move_index;
  std::int32_t state_pos = 0;
  std::int32_t total_move_count = 0;
  std::int32_t no_progress_count = 0;
  std::unordered_map<std::uint64_t, std::int32_t> repetition_count;
  std::int32_t n_repititions = 0;
  std::int32_t prev_n_repititions = 0;
};

// Throws std::invalid_argument, naming both, when the snapshot's repetition counts were
// kept under the other family of rules than rules: the module's, keyed by hash_state, or
// chess's, keyed by position_key. A snapshot whose counts do not tell (none of its keys
// for its own position, or both) passes; standard and automatic rules count alike.
void check_counted_under(const State& snapshot, Rules rules);

// Throws std::invalid_argument when a castling right of the snapshot has no king and rook
// on their standard home squares (a Chess960 game's snapshot, say), which a standard board
// could neither play nor write as FEN.
void check_standard_castling(const State& snapshot);

// Throws std::invalid_argument when the snapshot's board is not one position: two piece
// sets sharing a square, or occupancies other than the unions of the piece sets. Such a
// board (edited by hand) would be read differently by different move decoders.
void check_one_position(const State& snapshot);

}  // namespace vantor
