// Reading FEN text, including malformed and cut-off text.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>

#include "engine/board.h"

namespace vantor {
namespace {

constexpr const char* kStart = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1 ";

Bitboard range(int first, int last) {
  Bitboard set = 0;
  for (int s = first; s <= last; ++s) set |= bit(s);
  return set;
}

void expect_occupancies_consistent(const Board& board) {
  Bitboard white = 0, black = 0;
  for (int code = 0; code < 6; ++code) white |= board.bitboards[code];
  for (int code = 6; code < 12; ++code) black |= board.bitboards[code];
  EXPECT_EQ(board.occupancies[kWhite], white);
  EXPECT_EQ(board.occupancies[kBlack], black);
  EXPECT_EQ(board.occupancies[kBothSides], white | black);
}

// The FEN rank text of one row, read back from the piece sets.
std::string row_text(const Board& board, int row) {
  std::string text;
  for (int column = 0; column < 8; ++column) {
    const int piece = board.piece_on(square_at(row, column));
    text += piece < 0 ? '.' : kPieceLetters[piece];
  }
  return text;
}

TEST(NewBoard, HoldsTheEmptyPosition) {
  Board board;
  for (Bitboard set : board.bitboards) EXPECT_EQ(set, 0u);
  for (Bitboard set : board.occupancies) EXPECT_EQ(set, 0u);
  EXPECT_EQ(board.total_move_count, 0);
  EXPECT_EQ(board.state_pos, 0);
  EXPECT_EQ(board.no_progress_count, 0);
  EXPECT_EQ(board.just_reset, 0);
  EXPECT_EQ(board.castle, 0);
  EXPECT_EQ(board.enpassant, kNoSquare);
  EXPECT_EQ(board.side, kWhite);
  EXPECT_EQ(board.n_repititions, 0);
  EXPECT_EQ(board.prev_n_repititions, 0);
  EXPECT_EQ(board.saved_castle, 0);
  EXPECT_EQ(board.saved_enpassant, kNoSquare);
  EXPECT_EQ(board.saved_side, kWhite);
  EXPECT_TRUE(board.state_history.empty());
  EXPECT_GE(board.state_history.capacity(), 16u);
  EXPECT_TRUE(board.move_index.empty());
  EXPECT_TRUE(board.repetition_count.empty());
}

TEST(Fen, StartPosition) {
  Board board;
  board.parse_fen(kStart);
  EXPECT_EQ(board.bitboards[kWhitePawn], range(a2, h2));
  EXPECT_EQ(board.bitboards[kBlackPawn], range(a7, h7));
  EXPECT_EQ(row_text(board, 0), "rnbqkbnr");
  EXPECT_EQ(row_text(board, 7), "RNBQKBNR");
  for (int row = 2; row <= 5; ++row) EXPECT_EQ(row_text(board, row), "........");
  EXPECT_EQ(board.side, kWhite);
  EXPECT_EQ(board.castle, 15);
  EXPECT_EQ(board.enpassant, kNoSquare);
  EXPECT_EQ(board.no_progress_count, 0);
  expect_occupancies_consistent(board);
}

TEST(Fen, EmptyBoard) {
  Board board;
  board.parse_fen("8/8/8/8/8/8/8/8 w - - 0 1");
  for (Bitboard set : board.bitboards) EXPECT_EQ(set, 0u);
  EXPECT_EQ(board.occupancies[kBothSides], 0u);
  EXPECT_EQ(board.side, kWhite);
  EXPECT_EQ(board.castle, 0);
  EXPECT_EQ(board.enpassant, kNoSquare);
}

TEST(Fen, SideToMove) {
  Board board;
  board.parse_fen("8/8/8/8/8/8/8/8 b - - 0 1");
  EXPECT_EQ(board.side, kBlack);
  board.parse_fen("8/8/8/8/8/8/8/8 w - - 0 1");
  EXPECT_EQ(board.side, kWhite);
  board.parse_fen("8/8/8/8/8/8/8/8 W - - 0 1");  // anything but 'w' is black
  EXPECT_EQ(board.side, kBlack);
}

TEST(Fen, CastlingField) {
  Board board;
  board.parse_fen("8/8/8/8/8/8/8/8 w Kq - 0 1");
  EXPECT_EQ(board.castle, 9);
  board.parse_fen("8/8/8/8/8/8/8/8 w - - 0 1");
  EXPECT_EQ(board.castle, 0);
  board.parse_fen("8/8/8/8/8/8/8/8 w xQ-z1k - 0 1");
  EXPECT_EQ(board.castle, kWhiteQueenSide | kBlackKingSide);
}

TEST(Fen, EnPassantField) {
  Board board;
  board.parse_fen("8/8/8/8/8/8/8/8 b KQkq e3 0 1");
  EXPECT_EQ(board.enpassant, e3);
  board.parse_fen("8/8/8/8/8/8/8/8 w KQkq d6 0 1");
  EXPECT_EQ(board.enpassant, d6);
  board.parse_fen("8/8/8/8/8/8/8/8 w KQkq - 0 1");
  EXPECT_EQ(board.enpassant, kNoSquare);
}

TEST(Fen, EnPassantOffTheBoardMeansNone) {
  Board board;
  for (const char* fen : {"8/8/8/8/8/8/8/8 w - a9 0 1", "8/8/8/8/8/8/8/8 w - h0 0 1",
                          "8/8/8/8/8/8/8/8 w - ~~ 0 1", "8/8/8/8/8/8/8/8 w - e"}) {
    board.parse_fen(fen);
    EXPECT_EQ(board.enpassant, kNoSquare) << fen;
  }
  // The file and rank arithmetic is kept as it is where it lands on the board: i3 is
  // one file past h3, which is a2.
  board.parse_fen("8/8/8/8/8/8/8/8 w - i3 0 1");
  EXPECT_EQ(board.enpassant, a2);
}

TEST(Fen, HalfMoveFieldIsIgnored) {
  Board board;
  board.no_progress_count = 12;
  board.parse_fen("8/8/8/8/8/8/8/8 w - - 37 80");
  EXPECT_EQ(board.no_progress_count, 0);
}

TEST(Fen, UnknownLetterCountsFromItsOwnSquare) {
  Board board;
  // x places nothing; the 7 after it covers x's own square and six more (a8..g8), so
  // the rook lands on h8 rather than on the next row.
  board.parse_fen("x7R/8/8/8/8/8/8/8 w - - 0 1");
  EXPECT_EQ(board.bitboards[kWhiteRook], bit(h8));
  board.parse_fen("x6R1/8/8/8/8/8/8/8 w - - 0 1");
  EXPECT_EQ(board.bitboards[kWhiteRook], bit(g8));
  EXPECT_EQ(board.occupancies[kBothSides], bit(g8));
}

TEST(Fen, DigitAfterAPieceCountsTheSquaresAfterIt) {
  Board board;
  board.parse_fen("R7/8/8/8/8/8/8/7k w - - 0 1");
  EXPECT_EQ(board.bitboards[kWhiteRook], bit(a8));
  EXPECT_EQ(board.bitboards[kBlackKing], bit(h1));
}

TEST(Fen, DigitZeroOnAnEmptySquareCoversNothing) {
  Board board;
  board.parse_fen("0K7/8/8/8/8/8/8/8 w - - 0 1");
  EXPECT_EQ(board.bitboards[kWhiteKing], bit(a8));
  board.parse_fen("1000K6/8/8/8/8/8/8/8 w - - 0 1");
  EXPECT_EQ(board.bitboards[kWhiteKing], bit(b8));
}

TEST(Fen, SecondParseLeavesNothingOfTheFirst) {
  Board board;
  board.parse_fen(kStart);
  board.parse_fen("4k3/8/8/8/8/8/8/4K3 b - e3 0 1");
  EXPECT_EQ(board.occupancies[kBothSides], bit(e8) | bit(e1));
  EXPECT_EQ(board.bitboards[kWhiteKing], bit(e1));
  EXPECT_EQ(board.bitboards[kBlackKing], bit(e8));
  EXPECT_EQ(board.castle, 0);
  expect_occupancies_consistent(board);
}

TEST(Fen, ChangesOnlyThePositionAndTheHalfMoveClock) {
  Board board;
  board.total_move_count = 5;
  board.state_pos = 3;
  board.just_reset = 1;
  board.n_repititions = 2;
  board.prev_n_repititions = 1;
  board.move_index[564] = 7;
  board.repetition_count[99] = 2;
  board.state_history.resize(2);
  board.saved_castle = 6;
  board.parse_fen(kStart);
  EXPECT_EQ(board.total_move_count, 5);
  EXPECT_EQ(board.state_pos, 3);
  EXPECT_EQ(board.just_reset, 1);
  EXPECT_EQ(board.n_repititions, 2);
  EXPECT_EQ(board.prev_n_repititions, 1);
  EXPECT_EQ(board.move_index.size(), 1u);
  EXPECT_EQ(board.repetition_count.size(), 1u);
  EXPECT_EQ(board.state_history.size(), 2u);
  EXPECT_EQ(board.saved_castle, 6);
}

TEST(Fen, TextStopsAtTheFirstNul) {
  Board board;
  const std::string text("8/8/8/8/8/8/8/8 w KQ\0kq e3 0 1", 30);
  board.parse_fen(text);
  EXPECT_EQ(board.castle, kWhiteKingSide | kWhiteQueenSide);
  EXPECT_EQ(board.enpassant, kNoSquare);
}

// Every prefix of a well-formed text is read from an exact-size heap block, so a read
// past the end would leave the block (and fail under AddressSanitizer).
TEST(Fen, CutOffTextIsNeverReadPastItsEnd) {
  Board board;
  const std::string full = "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R b KQkq e3 0 1";
  for (std::size_t length = 0; length <= full.size(); ++length) {
    auto block = std::make_unique<char[]>(length ? length : 1);
    full.copy(block.get(), length);
    board.parse_fen(std::string_view(block.get(), length));
    expect_occupancies_consistent(board);
    EXPECT_TRUE(board.enpassant == kNoSquare || on_board(board.enpassant));
  }
  board.parse_fen("");
  EXPECT_EQ(board.occupancies[kBothSides], 0u);
  EXPECT_EQ(board.castle, 0);
  EXPECT_EQ(board.enpassant, kNoSquare);
}

TEST(Fen, ArbitraryBytesGiveAConsistentPosition) {
  Board board;
  std::mt19937 random(3);
  const std::string alphabet = "pnbrqkPNBRQKxX0123456789/- wbKQkqa1e3h8\xff\t";
  for (int trial = 0; trial < 20000; ++trial) {
    std::string text(random() % 90, ' ');
    for (char& c : text) c = alphabet[random() % alphabet.size()];
    board.parse_fen(text);
    Bitboard seen = 0;
    for (Bitboard set : board.bitboards) {
      ASSERT_EQ(set & seen, 0u) << "two pieces on one square: " << text;
      seen |= set;
    }
    expect_occupancies_consistent(board);
    ASSERT_TRUE(board.enpassant == kNoSquare || on_board(board.enpassant)) << text;
    ASSERT_TRUE(board.side == kWhite || board.side == kBlack);
    ASSERT_EQ(board.castle & ~15, 0);
  }
}

}  // namespace
}  // namespace vantor
