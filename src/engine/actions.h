// The action encoding: action = 64 * plane + source square, 0 .. 4671.
//
// Planes 0-55 are line moves, plane = 7 * direction + distance - 1, with the direction
// seen from the side to move (black's row and column differences are negated first):
//
//   0 forward-left   1 forward   2 forward-right   3 right
//   4 back-right     5 back      6 back-left       7 left
//
// Planes 56-63 are knight jumps by absolute square difference (source - target), the
// same for both colours: +17, +15, +6, -10, -17, -15, -6, +10.
//
// Planes 64-72 are promotions to a knight, bishop or rook: 64 + 3 * direction + k, with
// direction 0, 1 or 2 (capture to the left, push, capture to the right) and k 0, 1, 2
// for knight, bishop, rook. A promotion to a queen is a plain line move.
#pragma once

#include <array>
#include <cstdint>

#include "engine/movegen.h"
#include "engine/types.h"

namespace vantor {

inline constexpr int kPlanes = 73;
inline constexpr int kActions = kPlanes * 64;
inline constexpr int kKnightPlanes = 56;
inline constexpr int kUnderPromotionPlanes = 64;

// The legal-action mask: 73 rows of 64 entries, entry [plane][source] 1 when the action
// 64 * plane + source is legal. A row is held as a set of source squares.
class ActionMask {
 public:
  struct Row {
    Bitboard sources;
    int operator[](int source) const { return has(sources, source) ? 1 : 0; }
  };

  static constexpr int size() { return kPlanes; }
  Row operator[](int plane) const { return Row{rows_[plane]}; }
  void mark(int action) { rows_[action / 64] |= bit(action % 64); }
  bool operator==(const ActionMask&) const = default;

 private:
  std::array<Bitboard, kPlanes> rows_{};
};

// Knight planes in order, by source - target.
inline constexpr std::array<int, 8> kKnightJumps = {17, 15, 6, -10, -17, -15, -6, 10};

// The legal moves of a position with their actions, in generation order.
struct ActionList {
  std::int32_t actions[kMaxMoves];
  std::int32_t moves[kMaxMoves];
  int count = 0;
};

}  // namespace vantor
