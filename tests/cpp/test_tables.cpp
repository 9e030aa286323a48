// Attack tables and the square-attack test, checked against coordinate arithmetic and
// plain ray walks rather than against the formulas that fill them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "engine/attacks.h"
#include "engine/board.h"

namespace vantor {
namespace {

Bitboard set_of(std::initializer_list<int> squares) {
  Bitboard set = 0;
  for (int s : squares) set |= bit(s);
  return set;
}

// Squares reached from a square by the given (row, column) steps, staying on the board.
Bitboard leaps(int square, std::initializer_list<std::pair<int, int>> steps) {
  Bitboard set = 0;
  for (auto [dr, dc] : steps) {
    const int r = row_of(square) + dr, c = column_of(square) + dc;
    if (r >= 0 && r < 8 && c >= 0 && c < 8) set |= bit(square_at(r, c));
  }
  return set;
}

class Tables : public ::testing::Test {
 protected:
  void SetUp() override { build_attack_tables(); }
};

TEST_F(Tables, LeaperEntriesNamedInTheRules) {
  EXPECT_EQ(knight_attack_table[a8], set_of({c7, b6}));
  EXPECT_EQ(king_attack_table[h1], set_of({g1, g2, h2}));
  EXPECT_EQ(pawn_attack_table[kWhite][a2], set_of({b3}));
  EXPECT_EQ(pawn_attack_table[kBlack][h7], set_of({g6}));
}

TEST_F(Tables, LeapersMatchCoordinateStepsOnEverySquare) {
  for (int s = 0; s < kSquares; ++s) {
    SCOPED_TRACE(kSquareNames[s]);
    EXPECT_EQ(knight_attack_table[s],
              leaps(s, {{-2, -1}, {-2, 1}, {-1, 2}, {1, 2}, {2, 1}, {2, -1}, {1, -2}, {-1, -2}}));
    EXPECT_EQ(king_attack_table[s],
              leaps(s, {{-1, -1}, {-1, 0}, {-1, 1}, {0, 1}, {1, 1}, {1, 0}, {1, -1}, {0, -1}}));
    // White pawns attack toward the eighth rank (row 0), black toward the first; the
    // tables hold entries for the back ranks too.
    EXPECT_EQ(pawn_attack_table[kWhite][s], leaps(s, {{-1, -1}, {-1, 1}}));
    EXPECT_EQ(pawn_attack_table[kBlack][s], leaps(s, {{1, -1}, {1, 1}}));
  }
}

TEST_F(Tables, OccupancyMasksStopShortOfTheEdge) {
  EXPECT_EQ(rook_occupancy_mask[a8], set_of({b8, c8, d8, e8, f8, g8, a7, a6, a5, a4, a3, a2}));
  EXPECT_EQ(count(bishop_occupancy_mask[d4]), 9);
  EXPECT_EQ(bishop_occupancy_mask[d4], set_of({c5, b6, e5, f6, g7, c3, b2, e3, f2}));
  for (int s = 0; s < kSquares; ++s) {
    EXPECT_EQ(count(bishop_occupancy_mask[s]), bishop_index_bits[s]) << kSquareNames[s];
    EXPECT_EQ(count(rook_occupancy_mask[s]), rook_index_bits[s]) << kSquareNames[s];
    EXPECT_FALSE(has(bishop_occupancy_mask[s] | rook_occupancy_mask[s], s));
  }
}

TEST_F(Tables, FixedMagicNumbersAreKept) {
  EXPECT_EQ(bishop_magic[a8], 0x0040040844404084ULL);
  EXPECT_EQ(bishop_magic[h1], 0x4010011029020020ULL);
  EXPECT_EQ(rook_magic[a8], 0x8a80104000800020ULL);
  EXPECT_EQ(rook_magic[h1], 0x0001004081002402ULL);
  EXPECT_EQ(rook_magic[e1], 0x00020030a0244872ULL);
  EXPECT_EQ(magic_numbers[kSquares + e1], rook_magic[e1]);
}

// Every subset of a mask must own a slot: the 2^n subsets fill 0 .. 2^n - 1 exactly.
void expect_perfect(const Bitboard* masks, const Bitboard* magics, const std::array<int, 64>& bits) {
  for (int s = 0; s < kSquares; ++s) {
    const int n = bits[s];
    std::vector<bool> used(std::size_t{1} << n, false);
    for (int index = 0; index < (1 << n); ++index) {
      const Bitboard slot = (occupancy_subset(index, masks[s]) * magics[s]) >> (64 - n);
      ASSERT_LT(slot, used.size());
      ASSERT_FALSE(used[slot]) << "two subsets share a slot on " << kSquareNames[s];
      used[slot] = true;
    }
  }
}

TEST_F(Tables, MagicIndicesAreOneToOne) {
  expect_perfect(bishop_occupancy_mask, bishop_magic, bishop_index_bits);
  expect_perfect(rook_occupancy_mask, rook_magic, rook_index_bits);
}

TEST_F(Tables, SubsetEnumerationFollowsIndexBits) {
  const Bitboard mask = set_of({b8, d8, a1});
  EXPECT_EQ(occupancy_subset(0, mask), 0u);
  EXPECT_EQ(occupancy_subset(0b001, mask), set_of({b8}));
  EXPECT_EQ(occupancy_subset(0b110, mask), set_of({d8, a1}));
  EXPECT_EQ(occupancy_subset(0b111, mask), mask);
}

TEST_F(Tables, RookLookupOnTheFirstRank) {
  const Bitboard file_and_rank = set_of({a8, a7, a6, a5, a4, a3, a2, b1, c1, d1, e1, f1, g1, h1});
  EXPECT_EQ(lookup_rook_attacks(a1, 0), file_and_rank);
  const Bitboard blocked = lookup_rook_attacks(a1, bit(a4));
  EXPECT_TRUE(has(blocked, a2) && has(blocked, a3) && has(blocked, a4));
  EXPECT_EQ(blocked & set_of({a5, a6, a7, a8}), 0u);
}

TEST_F(Tables, RaysIncludeTheirFirstBlocker) {
  // The lookup knows nothing of colours: the occupied square closing each ray belongs
  // to the attack set.
  const Bitboard occupancy = set_of({d6, f4, d2, b4, b6, f6, b2, f2});
  EXPECT_EQ(lookup_rook_attacks(d4, occupancy), set_of({d5, d6, e4, f4, d3, d2, c4, b4}));
  EXPECT_EQ(lookup_bishop_attacks(d4, occupancy), set_of({c5, b6, e5, f6, c3, b2, e3, f2}));
  EXPECT_EQ(lookup_queen_attacks(d4, occupancy),
            lookup_rook_attacks(d4, occupancy) | lookup_bishop_attacks(d4, occupancy));
}

TEST_F(Tables, LookupsAgreeWithRayWalksOnRandomOccupancies) {
  std::mt19937_64 random(7);
  for (int trial = 0; trial < 100000; ++trial) {
    // Mix sparse, medium and dense boards.
    Bitboard occupancy = random();
    if (trial % 3 == 0) occupancy &= random();
    if (trial % 3 == 1) occupancy &= random() & random();
    for (int s = 0; s < kSquares; ++s) {
      ASSERT_EQ(lookup_bishop_attacks(s, occupancy), slide_bishop(s, occupancy)) << s;
      ASSERT_EQ(lookup_rook_attacks(s, occupancy), slide_rook(s, occupancy)) << s;
    }
  }
}

TEST_F(Tables, ASecondBoardChangesNoLookup) {
  auto before = std::make_unique<Bitboard[]>(kSquares * kRookSlots);
  std::memcpy(before.get(), rook_attack_table, sizeof rook_attack_table);
  const Bitboard bishop_before = lookup_bishop_attacks(c1, bit(e3));
  Board second;
  EXPECT_EQ(std::memcmp(before.get(), rook_attack_table, sizeof rook_attack_table), 0);
  EXPECT_EQ(lookup_bishop_attacks(c1, bit(e3)), bishop_before);
}

// Attack test by brute force: every piece's reach computed from ray walks and steps.
int attacked_reference(const Board& board, int square, int by) {
  const Bitboard occupancy = board.occupancies[kBothSides];
  for (int from = 0; from < kSquares; ++from) {
    const int piece = board.piece_on(from);
    if (piece < 0 || piece / 6 != by) continue;
    Bitboard reach = 0;
    switch (kind_of(piece)) {
      case 0: reach = by == kWhite ? leaps(from, {{-1, -1}, {-1, 1}}) : leaps(from, {{1, -1}, {1, 1}}); break;
      case 1: reach = leaps(from, {{-2, -1}, {-2, 1}, {-1, 2}, {1, 2}, {2, 1}, {2, -1}, {1, -2}, {-1, -2}}); break;
      case 2: reach = slide_bishop(from, occupancy); break;
      case 3: reach = slide_rook(from, occupancy); break;
      case 4: reach = slide_bishop(from, occupancy) | slide_rook(from, occupancy); break;
      case 5: reach = leaps(from, {{-1, -1}, {-1, 0}, {-1, 1}, {0, 1}, {1, 1}, {1, 0}, {1, -1}, {0, -1}}); break;
    }
    if (has(reach, square)) return 1;
  }
  return 0;
}

class SquareAttack : public ::testing::Test {
 protected:
  Board board;
};

TEST_F(SquareAttack, RookAlongAnOpenFile) {
  board.parse_fen("k7/8/8/8/8/8/8/R7 w - - 0 1");
  EXPECT_EQ(board.square_attacked_by(a8, kWhite), 1);
  EXPECT_EQ(board.square_attacked_by(a1, kBlack), 0);
}

TEST_F(SquareAttack, PawnAttacksDiagonallyForward) {
  board.parse_fen("8/8/8/8/4P3/8/8/8 w - - 0 1");
  EXPECT_EQ(board.square_attacked_by(d5, kWhite), 1);
  EXPECT_EQ(board.square_attacked_by(f5, kWhite), 1);
  EXPECT_EQ(board.square_attacked_by(e5, kWhite), 0);
  EXPECT_EQ(board.square_attacked_by(d3, kWhite), 0);
}

TEST_F(SquareAttack, SquaresOffTheBoardAreNeverAttacked) {
  board.parse_fen("qqqqqqqq/qqqqqqqq/8/8/8/8/QQQQQQQQ/QQQQQQQQ w - - 0 1");
  for (int square : {-1, 64, -64, 1000}) {
    EXPECT_EQ(board.square_attacked_by(square, kWhite), 0);
    EXPECT_EQ(board.square_attacked_by(square, kBlack), 0);
  }
}

TEST_F(SquareAttack, AgreesWithBruteForceOnRandomPlacements) {
  std::mt19937_64 random(11);
  for (int trial = 0; trial < 400; ++trial) {
    board.bitboards.fill(0);
    Bitboard taken = 0;
    for (int n = 0; n < 4 + trial % 20; ++n) {
      const int square = static_cast<int>(random() % 64);
      if (has(taken, square)) continue;
      taken |= bit(square);
      board.bitboards[random() % kPieceCodes] |= bit(square);
    }
    Bitboard white = 0, black = 0;
    for (int code = 0; code < 6; ++code) white |= board.bitboards[code];
    for (int code = 6; code < 12; ++code) black |= board.bitboards[code];
    board.occupancies = {white, black, white | black};
    for (int s = 0; s < kSquares; ++s) {
      ASSERT_EQ(board.square_attacked_by(s, kWhite), attacked_reference(board, s, kWhite)) << trial;
      ASSERT_EQ(board.square_attacked_by(s, kBlack), attacked_reference(board, s, kBlack)) << trial;
    }
  }
}

// Set planes in every value type observations and masks are written in, against a bit
// test per square: empty and full sets, each single square, and random sets.
template <class T>
void expect_set_planes() {
  std::mt19937_64 random(7);
  std::vector<Bitboard> sets = {0, ~Bitboard{0}, 0x8000000000000001ULL, 0x00FF00FF00FF00FFULL};
  for (int s = 0; s < kSquares; ++s) sets.push_back(bit(s));
  for (int i = 0; i < 200; ++i) sets.push_back(random() & random());
  for (Bitboard set : sets) {
    // One value of slack on each side: nothing outside the 64 is written.
    T out[kSquares + 2];
    std::fill_n(out, kSquares + 2, static_cast<T>(7));
    write_set(set, out + 1);
    EXPECT_EQ(out[0], static_cast<T>(7));
    EXPECT_EQ(out[kSquares + 1], static_cast<T>(7));
    for (int s = 0; s < kSquares; ++s) ASSERT_EQ(out[s + 1], static_cast<T>(has(set, s) ? 1 : 0)) << std::hex << set << " " << s;
  }
}

TEST(SetPlanes, OneOnTheSquaresOfTheSetAndZeroElsewhere) {
  expect_set_planes<bool>();
  expect_set_planes<std::int32_t>();
  expect_set_planes<float>();
}

}  // namespace
}  // namespace vantor
