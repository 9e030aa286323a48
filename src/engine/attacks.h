// Process-wide attack tables: fixed sets for pawns, knights and kings, and magic-indexed
// tables for bishops and rooks.
//
// A slider lookup keeps only the blockers that can change the answer (the square's
// occupancy mask, which stops one short of the board's edge), multiplies them by the
// square's magic number and keeps the top index-bits bits of the product. The magic
// numbers are chosen so that every subset of a mask gets a slot of its own.
//
// The tables start as zeros and are filled exactly once per process by
// build_attack_tables(), which every Board construction calls; a thread that returns from
// it sees complete tables, and nothing writes them afterwards, so any number of threads
// may read them at once.
#pragma once

#include <array>

#include "engine/types.h"

namespace vantor {

inline constexpr int kBishopSlots = 512;   // 2^9, the largest bishop mask
inline constexpr int kRookSlots = 4096;    // 2^12, the largest rook mask

extern Bitboard pawn_attack_table[2][kSquares];
extern Bitboard knight_attack_table[kSquares];
extern Bitboard king_attack_table[kSquares];
extern Bitboard bishop_occupancy_mask[kSquares];
extern Bitboard rook_occupancy_mask[kSquares];
extern Bitboard bishop_attack_table[kSquares][kBishopSlots];
extern Bitboard rook_attack_table[kSquares][kRookSlots];

// Number of squares in each square's occupancy mask.
inline constexpr std::array<int, kSquares> bishop_index_bits = {
    6, 5, 5, 5, 5, 5, 5, 6,
    5, 5, 5, 5, 5, 5, 5, 5,
    5, 5, 7, 7, 7, 7, 5, 5,
    5, 5, 7, 9, 9, 7, 5, 5,
    5, 5, 7, 9, 9, 7, 5, 5,
    5, 5, 7, 7, 7, 7, 5, 5,
    5, 5, 5, 5, 5, 5, 5, 5,
    6, 5, 5, 5, 5, 5, 5, 6,
};
inline constexpr std::array<int, kSquares> rook_index_bits = {
    12, 11, 11, 11, 11, 11, 11, 12,
    11, 10, 10, 10, 10, 10, 10, 11,
    11, 10, 10, 10, 10, 10, 10, 11,
    11, 10, 10, 10, 10, 10, 10, 11,
    11, 10, 10, 10, 10, 10, 10, 11,
    11, 10, 10, 10, 10, 10, 10, 11,
    11, 10, 10, 10, 10, 10, 10, 11,
    12, 11, 11, 11, 11, 11, 11, 12,
};

// One block of 128 multipliers: bishops by square, then rooks by square.
extern const std::array<Bitboard, 2 * kSquares> magic_numbers;
inline const Bitboard* const bishop_magic = magic_numbers.data();
inline const Bitboard* const rook_magic = magic_numbers.data() + kSquares;

// Fills every run-time table on the first call in the process; later calls, from any
// thread, return once the tables are complete.
void build_attack_tables();

inline Bitboard lookup_bishop_attacks(int square, Bitboard occupancy) {
  const Bitboard key = (occupancy & bishop_occupancy_mask[square]) * bishop_magic[square];
  return bishop_attack_table[square][key >> (64 - bishop_index_bits[square])];
}

inline Bitboard lookup_rook_attacks(int square, Bitboard occupancy) {
  const Bitboard key = (occupancy & rook_occupancy_mask[square]) * rook_magic[square];
  return rook_attack_table[square][key >> (64 - rook_index_bits[square])];
}

inline Bitboard lookup_queen_attacks(int square, Bitboard occupancy) {
  return lookup_bishop_attacks(square, occupancy) | lookup_rook_attacks(square, occupancy);
}

// The squares strictly between two squares on one rank, file or diagonal; none for two
// squares that share no line.
inline Bitboard squares_between(int a, int b) {
  const int dr = row_of(b) - row_of(a), dc = column_of(b) - column_of(a);
  if (dr == 0 || dc == 0) return lookup_rook_attacks(a, bit(b)) & lookup_rook_attacks(b, bit(a));
  if (dr == dc || dr == -dc) return lookup_bishop_attacks(a, bit(b)) & lookup_bishop_attacks(b, bit(a));
  return 0;
}

// Plain ray walks and mask builders that the tables are filled from; tests and the magic
// search compare against them.
Bitboard slide_bishop(int square, Bitboard blockers);
Bitboard slide_rook(int square, Bitboard blockers);
Bitboard bishop_mask(int square);
Bitboard rook_mask(int square);

// The subset of mask holding its j-th lowest square exactly when bit j of index is set.
Bitboard occupancy_subset(int index, Bitboard mask);

}  // namespace vantor
