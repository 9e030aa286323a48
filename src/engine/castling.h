// Castling as a board plays it: the standard game's, or Chess960's, where the king and the
// two rooks start on any squares of the back rank with the king between the rooks.
//
// Both keep the rights in the four bits of Board::castle (kWhiteKingSide and the rest):
// a "king side" right is for the rook on the h-file side of the king, a "queen side" one
// for the rook on the a-file side. CastlingSetup::rooks names the square of the rook each
// right stands for (bit 1 << i for rooks[i]); in the standard game these are h1, a1, h8
// and a8.
//
// A castling move word carries kCastlingFlag. In the standard game its target is the
// king's square after castling (g1, c1, g8, c8). In Chess960 its target is the square of
// the rook it castles with: the move is written as the king moving onto its own rook, as
// UCI_Chess960 engines write it, so that it is never mistaken for an ordinary king move
// (the king can move one square onto a square beside it where it would also end up).
// Either way the king ends on the g or c file and the rook on the f or d file, and its
// action number is that of the king moving from its square to the move's target (a line
// move along the back rank).
//
// Chess960 start positions are numbered 0 .. 959 as Scharnagl numbered them; number 518
// is the standard start.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "engine/types.h"

namespace vantor {

inline constexpr int kChess960Starts = 960;
inline constexpr int kStandardStartNumber = 518;

// Castling rights that survive a move from or to each square, for the standard game:
// moving the king or a rook from its home square, or capturing a rook on it, removes the
// rights it stands for.
inline constexpr std::array<std::uint8_t, kSquares> kStandardKept = [] {
  std::array<std::uint8_t, kSquares> kept{};
  kept.fill(15);
  kept[a8] = 7;
  kept[e8] = 3;
  kept[h8] = 11;
  kept[a1] = 13;
  kept[e1] = 12;
  kept[h1] = 14;
  return kept;
}();

struct CastlingSetup {
  bool chess960 = false;
  std::array<std::int8_t, 4> rooks = {h1, a1, h8, a8};
  // kept[s]: the rights that survive a move from or to square s.
  std::array<std::uint8_t, kSquares> kept = kStandardKept;

  bool operator==(const CastlingSetup&) const = default;
};

// The back rank's row of a side: 7 for white (rank 1), 0 for black (rank 8).
constexpr int back_row(int side) { return side == kWhite ? 7 : 0; }

// The rights in rights (the four bits) with their rooks on rooks, for a Chess960 board
// whose kings stand on the given squares: the table of what survives each square.
std::array<std::uint8_t, kSquares> chess960_kept(int rights, const std::array<std::int8_t, 4>& rooks,
                                                 const std::array<int, 2>& kings);

// The back rank of start number (0 .. 959) from white's side, a to h: "RNBQKBNR" for 518.
// The number must be in range.
std::string chess960_back_rank(int number);

// The start number of a back rank ("RNBQKBNR"), or -1 when it is no Chess960 start.
int chess960_number(std::string_view back_rank);

// The FEN text of start number (0 .. 959), with X-FEN castling rights "KQkq".
std::string chess960_fen(int number);

}  // namespace vantor
