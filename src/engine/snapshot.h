// State: a by-value snapshot of a Board's game fields, exchanged with Python.
#pragma once

#include <array>
#include <cstdint>
#include <unordered_map>
#include <vector>

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

}  // namespace vantor
