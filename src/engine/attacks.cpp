#include "engine/attacks.h"

#include <mutex>

namespace vantor {

Bitboard pawn_attack_table[2][kSquares];
Bitboard knight_attack_table[kSquares];
Bitboard king_attack_table[kSquares];
Bitboard bishop_occupancy_mask[kSquares];
Bitboard rook_occupancy_mask[kSquares];
alignas(64) Bitboard bishop_attack_table[kSquares][kBishopSlots];
alignas(64) Bitboard rook_attack_table[kSquares][kRookSlots];

// Found by tools/find_magics.cpp: for every square each subset of the mask lands on its
// own slot, so the slots of a square are exactly 0 .. 2^bits - 1.
const std::array<Bitboard, 2 * kSquares> magic_numbers = {
#include "engine/magics.inc"
};

namespace {

// Walks from a square in steps of (dr, dc) until the edge, stopping after the first
// blocker; the blocker's square is included whatever its colour.
Bitboard walk(int square, Bitboard blockers, int dr, int dc) {
  Bitboard attacks = 0;
  int r = row_of(square) + dr;
  int c = column_of(square) + dc;
  while (r >= 0 && r <= 7 && c >= 0 && c <= 7) {
    const int s = square_at(r, c);
    attacks |= bit(s);
    if (has(blockers, s)) break;
    r += dr;
    c += dc;
  }
  return attacks;
}

// Like walk, but stops one square short of the edge: a piece on the last square of a ray
// never changes which squares the slider reaches.
Bitboard inner_ray(int square, int dr, int dc) {
  Bitboard squares = 0;
  int r = row_of(square) + dr;
  int c = column_of(square) + dc;
  while (r + dr >= 0 && r + dr <= 7 && c + dc >= 0 && c + dc <= 7) {
    squares |= bit(square_at(r, c));
    r += dr;
    c += dc;
  }
  return squares;
}

Bitboard pawn_attacks(int side, Bitboard b) {
  if (side == kWhite) return ((b >> 7) & kNotFileA) | ((b >> 9) & kNotFileH);
  return ((b << 7) & kNotFileH) | ((b << 9) & kNotFileA);
}

Bitboard knight_attacks(Bitboard b) {
  return ((b >> 17) & kNotFileH) | ((b >> 15) & kNotFileA) | ((b >> 10) & kNotFilesGH) |
         ((b >> 6) & kNotFilesAB) | ((b << 17) & kNotFileA) | ((b << 15) & kNotFileH) |
         ((b << 10) & kNotFilesAB) | ((b << 6) & kNotFilesGH);
}

Bitboard king_attacks(Bitboard b) {
  return (b >> 8) | ((b >> 9) & kNotFileH) | ((b >> 7) & kNotFileA) | ((b >> 1) & kNotFileH) |
         (b << 8) | ((b << 9) & kNotFileA) | ((b << 7) & kNotFileH) | ((b << 1) & kNotFileA);
}

template <int Slots>
void fill_slider(Bitboard (&table)[kSquares][Slots], const Bitboard* masks, const Bitboard* magics,
                 const std::array<int, kSquares>& bits, Bitboard (*slide)(int, Bitboard)) {
  for (int square = 0; square < kSquares; ++square) {
    const Bitboard mask = masks[square];
    const int subsets = 1 << count(mask);
    for (int index = 0; index < subsets; ++index) {
      const Bitboard occupancy = occupancy_subset(index, mask);
      const Bitboard slot = (occupancy * magics[square]) >> (64 - bits[square]);
      table[square][slot] = slide(square, occupancy);
    }
  }
}

void fill_tables() {
  for (int square = 0; square < kSquares; ++square) {
    pawn_attack_table[kWhite][square] = pawn_attacks(kWhite, bit(square));
    pawn_attack_table[kBlack][square] = pawn_attacks(kBlack, bit(square));
    knight_attack_table[square] = knight_attacks(bit(square));
    king_attack_table[square] = king_attacks(bit(square));
    bishop_occupancy_mask[square] = bishop_mask(square);
    rook_occupancy_mask[square] = rook_mask(square);
  }
  fill_slider(bishop_attack_table, bishop_occupancy_mask, bishop_magic, bishop_index_bits,
              slide_bishop);
  fill_slider(rook_attack_table, rook_occupancy_mask, rook_magic, rook_index_bits, slide_rook);
}

}  // namespace

void build_attack_tables() {
  static std::once_flag once;
  std::call_once(once, fill_tables);
}

Bitboard slide_bishop(int square, Bitboard blockers) {
  return walk(square, blockers, 1, 1) | walk(square, blockers, -1, 1) |
         walk(square, blockers, 1, -1) | walk(square, blockers, -1, -1);
}

Bitboard slide_rook(int square, Bitboard blockers) {
  return walk(square, blockers, -1, 0) | walk(square, blockers, 1, 0) |
         walk(square, blockers, 0, 1) | walk(square, blockers, 0, -1);
}

Bitboard bishop_mask(int square) {
  return inner_ray(square, 1, 1) | inner_ray(square, -1, 1) | inner_ray(square, 1, -1) |
         inner_ray(square, -1, -1);
}

Bitboard rook_mask(int square) {
  return inner_ray(square, -1, 0) | inner_ray(square, 1, 0) | inner_ray(square, 0, 1) |
         inner_ray(square, 0, -1);
}

Bitboard occupancy_subset(int index, Bitboard mask) {
  Bitboard subset = 0;
  for (int j = 0; mask; ++j) {
    const int square = pop_lowest(mask);
    if (index & (1 << j)) subset |= bit(square);
  }
  return subset;
}

}  // namespace vantor
