// Chess960: the start numbering, perft against Stockfish's counts, and random games whose
// legal moves and FEN text Stockfish reads alike.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <string>

#include "chess_util.h"
#include "engine/board.h"
#include "engine/castling.h"

namespace vantor {
namespace {

Board chess960_board(const std::string& fen) {
  Board board;
  board.set_chess960(true);
  board.parse_fen(fen);
  return board;
}

TEST(Chess960, StartNumbersFollowScharnagl) {
  // Fixed points of the numbering as python-chess has it.
  const std::pair<int, const char*> known[] = {{0, "BBQNNRKR"}, {518, "RNBQKBNR"}, {959, "RKRNNQBB"}, {1, "BQNBNRKR"}};
  for (const auto& [number, rank] : known) EXPECT_EQ(chess960_back_rank(number), rank) << number;
  std::set<std::string> seen;
  for (int number = 0; number < kChess960Starts; ++number) {
    const std::string rank = chess960_back_rank(number);
    seen.insert(rank);
    const auto king = rank.find('K'), first_rook = rank.find('R'), last_rook = rank.rfind('R');
    const auto first_bishop = rank.find('B'), last_bishop = rank.rfind('B');
    EXPECT_TRUE(first_rook < king && king < last_rook) << rank;
    EXPECT_NE(first_bishop % 2, last_bishop % 2) << rank;
    EXPECT_EQ(chess960_number(rank), number);
  }
  EXPECT_EQ(seen.size(), 960u);
  EXPECT_EQ(chess960_number("RRBQKBNN"), -1);
  EXPECT_EQ(chess960_fen(518), "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1");
}

// Every start at depth 4 and odd castling arrangements at depths 4 and 5, as Stockfish
// counts them with UCI_Chess960 (tools/chess960_perft.py writes the table). Rows above
// VANTOR_PERFT_MAX_NODES are left out, and only every VANTOR_CHESS960_EVERY-th row is
// counted (all by default; a sanitized build counts fewer).
TEST(Chess960, PerftMatchesStockfish) {
  const long budget = testing::env_number("VANTOR_PERFT_MAX_NODES", 20'000'000);
  const long every = std::max(1L, testing::env_number("VANTOR_CHESS960_EVERY", 1));
  const auto rows = testing::read_perft_table("perft-chess960.tsv");
  ASSERT_EQ(rows.size(), 960u + 28u);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const auto& row = rows[i];
    if (row.nodes > static_cast<std::uint64_t>(budget) || i % static_cast<std::size_t>(every) != 0) continue;
    Board board = chess960_board(row.fen);
    EXPECT_EQ(testing::perft(board, row.depth), row.nodes) << row.name << " " << row.fen;
  }
}

TEST(Chess960, CastlingLandsTheKingAndRookWhereTheRulesSay) {
  // (position, the castling move as UCI_Chess960 writes it, the position after it)
  const char* cases[][3] = {
      {"rk5r/8/8/8/8/8/8/RK5R w HAha - 0 1", "b1a1", "rk5r/8/8/8/8/8/8/2KR3R b kq - 1 1"},
      {"r5kr/8/8/8/8/8/8/R5KR w HAha - 0 1", "g1h1", "r5kr/8/8/8/8/8/8/R4RK1 b kq - 1 1"},
      {"1rkr4/pppppppp/8/8/8/8/PPPPPPPP/1RKR4 w DBdb - 0 1", "c1d1", "1rkr4/pppppppp/8/8/8/8/PPPPPPPP/1R3RK1 b kq - 1 1"},
      {"2r2kr1/pppppppp/8/8/8/8/PPPPPPPP/2R2KR1 b GCgc - 0 1", "f8c8", "2kr2r1/pppppppp/8/8/8/8/PPPPPPPP/2R2KR1 w KQ - 1 2"},
      {"rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/R3K2R w KQkq - 0 1", "e1h1", "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/R4RK1 b kq - 1 1"},
  };
  for (const auto& [before, uci, after] : cases) {
    Board board = chess960_board(before);
    const int action = testing::action_of(board, uci);
    ASSERT_GE(action, 0) << before << " " << uci;
    EXPECT_EQ(testing::action_to_uci(board, action), uci);
    board.step(action);
    std::string expected = after;
    expected = expected.substr(0, expected.rfind(' ', expected.rfind(' ') - 1));
    const std::string fen = testing::to_fen(board);
    EXPECT_EQ(fen.substr(0, fen.rfind(' ', fen.rfind(' ') - 1)), expected) << before << " " << uci;
  }
  // A right whose rook is gone, or whose king stands off the back rank, is not read.
  EXPECT_EQ(chess960_board("rk6/8/8/8/8/8/8/RK6 w HAha - 0 1").castle, kWhiteQueenSide | kBlackQueenSide);
  EXPECT_EQ(chess960_board("r6r/1k6/8/8/8/8/8/RK5R w HAha - 0 1").castle, kWhiteKingSide | kWhiteQueenSide);
}

// VANTOR_DIFF_POSITIONS sets how many positions are compared (default 20000).
TEST(Chess960, RandomGamesAgreeWithStockfish) {
  if (!testing::Stockfish::available()) GTEST_SKIP() << testing::Stockfish::kPath << " is not installed";
  const long wanted = testing::env_number("VANTOR_DIFF_POSITIONS", 20000) / 2;
  testing::Stockfish stockfish;
  stockfish.play_chess960();
  std::mt19937 random(960);
  long compared = 0;
  while (compared < wanted) {
    Board board = chess960_board(chess960_fen(static_cast<int>(random() % kChess960Starts)));
    ASSERT_EQ(testing::first_disagreement(stockfish, board, random, compared, wanted), "");
  }
}

}  // namespace
}  // namespace vantor
