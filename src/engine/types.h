// Squares, sets of squares, piece codes and the small bit helpers every engine file uses.
//
// A square is 8 * row + column with row 0 the eighth rank and column 0 file a, so a8 = 0,
// h8 = 7, a1 = 56 and h1 = 63; moving toward the eighth rank subtracts 8. Bit n of a
// Bitboard stands for square n.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vantor {

using Bitboard = std::uint64_t;

inline constexpr int kSquares = 64;
inline constexpr int kNoSquare = 64;  // the en-passant value meaning "no square"

enum Side : int { kWhite = 0, kBlack = 1 };

// Piece codes in the order of "PNBRQKpnbrqk"; a white code plus 6 is the black piece of
// the same kind.
enum Piece : int {
  kWhitePawn, kWhiteKnight, kWhiteBishop, kWhiteRook, kWhiteQueen, kWhiteKing,
  kBlackPawn, kBlackKnight, kBlackBishop, kBlackRook, kBlackQueen, kBlackKing,
};
inline constexpr int kPieceCodes = 12;
inline constexpr char kPieceLetters[] = "PNBRQKpnbrqk";

// Piece code of the given kind (0 pawn .. 5 king) for a side.
constexpr int piece_of(int side, int kind) { return side * 6 + kind; }
constexpr int kind_of(int piece) { return piece % 6; }

// Castling-right bits.
enum CastleRight : int {
  kWhiteKingSide = 1, kWhiteQueenSide = 2, kBlackKingSide = 4, kBlackQueenSide = 8,
};

// Occupancy indices: one per side, then both together.
inline constexpr int kBothSides = 2;

enum Square : int {
  a8, b8, c8, d8, e8, f8, g8, h8,
  a7, b7, c7, d7, e7, f7, g7, h7,
  a6, b6, c6, d6, e6, f6, g6, h6,
  a5, b5, c5, d5, e5, f5, g5, h5,
  a4, b4, c4, d4, e4, f4, g4, h4,
  a3, b3, c3, d3, e3, f3, g3, h3,
  a2, b2, c2, d2, e2, f2, g2, h2,
  a1, b1, c1, d1, e1, f1, g1, h1,
};

inline constexpr std::array<const char*, kSquares> kSquareNames = {
    "a8", "b8", "c8", "d8", "e8", "f8", "g8", "h8",
    "a7", "b7", "c7", "d7", "e7", "f7", "g7", "h7",
    "a6", "b6", "c6", "d6", "e6", "f6", "g6", "h6",
    "a5", "b5", "c5", "d5", "e5", "f5", "g5", "h5",
    "a4", "b4", "c4", "d4", "e4", "f4", "g4", "h4",
    "a3", "b3", "c3", "d3", "e3", "f3", "g3", "h3",
    "a2", "b2", "c2", "d2", "e2", "f2", "g2", "h2",
    "a1", "b1", "c1", "d1", "e1", "f1", "g1", "h1",
};

constexpr bool on_board(int square) { return square >= 0 && square < kSquares; }
constexpr int row_of(int square) { return square >> 3; }
constexpr int column_of(int square) { return square & 7; }
constexpr int square_at(int row, int column) { return row * 8 + column; }

constexpr Bitboard bit(int square) { return Bitboard{1} << square; }
constexpr bool has(Bitboard set, int square) { return (set >> square) & 1; }
constexpr int count(Bitboard set) { return std::popcount(set); }

// Removes the lowest square from a non-empty set and returns it; sets are walked this way,
// lowest square first, everywhere in the engine.
constexpr int pop_lowest(Bitboard& set) {
  const int square = std::countr_zero(set);
  set &= set - 1;
  return square;
}

// The set seen from the other side of the board: square s becomes square 63 - s.
constexpr Bitboard rotated(Bitboard set) {
  set = ((set >> 1) & 0x5555555555555555ULL) | ((set & 0x5555555555555555ULL) << 1);
  set = ((set >> 2) & 0x3333333333333333ULL) | ((set & 0x3333333333333333ULL) << 2);
  set = ((set >> 4) & 0x0F0F0F0F0F0F0F0FULL) | ((set & 0x0F0F0F0F0F0F0F0FULL) << 4);
  return __builtin_bswap64(set);
}

// The 0/1 values of every eight-square run of a set, lowest square first.
template <class T>
inline constexpr auto kSetRuns = [] {
  std::array<std::array<T, 8>, 256> runs{};
  for (int n = 0; n < 256; ++n)
    for (int b = 0; b < 8; ++b) runs[n][b] = static_cast<T>((n >> b) & 1);
  return runs;
}();

// Writes a set as 64 values, 1 on its squares and 0 elsewhere: eight table rows rather
// than 64 bit tests, as observations and masks are a hundred and more such planes.
template <class T>
inline void write_set(Bitboard set, T* out) {
  for (int s = 0; s < kSquares; s += 8, set >>= 8) std::memcpy(out + s, kSetRuns<T>[set & 255].data(), 8 * sizeof(T));
}

#if defined(__SSE2__)
// Sixteen bools a store: every byte of the set is copied to eight lanes, and each lane
// keeps the one bit of its square. SSE2 is part of every x86-64.
template <>
inline void write_set<bool>(Bitboard set, bool* out) {
  const __m128i lane_bits = _mm_set1_epi64x(0x8040201008040201LL);
  const __m128i one = _mm_set1_epi8(1);
  const __m128i pairs = _mm_unpacklo_epi8(_mm_set_epi64x(0, static_cast<long long>(set)),
                                          _mm_set_epi64x(0, static_cast<long long>(set)));
  const __m128i low = _mm_unpacklo_epi16(pairs, pairs), high = _mm_unpackhi_epi16(pairs, pairs);
  auto store = [&](int i, __m128i run) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16 * i), _mm_min_epu8(_mm_and_si128(run, lane_bits), one));
  };
  store(0, _mm_unpacklo_epi32(low, low));
  store(1, _mm_unpackhi_epi32(low, low));
  store(2, _mm_unpacklo_epi32(high, high));
  store(3, _mm_unpackhi_epi32(high, high));
}
#endif

// Lowest square of a set, or -1 for an empty set (a missing king).
constexpr int lowest_or_none(Bitboard set) { return set ? std::countr_zero(set) : -1; }

// File a is bit 0 of every byte, file h bit 7.
inline constexpr Bitboard kNotFileA = 0xfefefefefefefefeULL;
inline constexpr Bitboard kNotFileH = 0x7f7f7f7f7f7f7f7fULL;
inline constexpr Bitboard kNotFilesAB = 0xfcfcfcfcfcfcfcfcULL;
inline constexpr Bitboard kNotFilesGH = 0x3f3f3f3f3f3f3f3fULL;

// N planes of 64 values (one per square), stored plane after plane in one block: the
// shape of the observation and of the action mask.
template <int N>
class Planes {
 public:
  Planes() : values_(static_cast<std::size_t>(N) * kSquares, 0) {}

  static constexpr int size() { return N; }
  std::span<std::int32_t, kSquares> operator[](int plane) {
    return std::span<std::int32_t, kSquares>(values_.data() + kSquares * plane, kSquares);
  }
  std::span<const std::int32_t, kSquares> operator[](int plane) const {
    return std::span<const std::int32_t, kSquares>(values_.data() + kSquares * plane, kSquares);
  }
  // Values in plane order: the value of square s in plane p is at 64 * p + s.
  const std::int32_t* data() const { return values_.data(); }
  std::int32_t* data() { return values_.data(); }
  bool operator==(const Planes&) const = default;

 private:
  std::vector<std::int32_t> values_;
};

// Counters that a long-lived environment or a hand-made snapshot can drive to the limit
// of a 32-bit int wrap around instead of overflowing.
constexpr std::int32_t wrapping_add(std::int32_t a, std::int32_t b) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) + static_cast<std::uint32_t>(b));
}

// splitmix64's finaliser: neighbouring inputs give unrelated outputs.
constexpr std::uint64_t mix64(std::uint64_t z) {
  z += 0x9e3779b97f4a7c15ULL;
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

}  // namespace vantor
