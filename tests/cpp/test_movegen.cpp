// Move generation order, making moves, and perft totals against the published figures.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "chess_util.h"
#include "engine/board.h"

namespace vantor {
namespace {

using testing::move_to_uci;
using testing::PositionCopy;

std::vector<std::string> generated(Board& board) {
  MoveList list;
  board.generate_moves(list);
  std::vector<std::string> moves;
  for (int i = 0; i < list.count; ++i) moves.push_back(move_to_uci(list.moves[i]));
  return moves;
}

int find_move(Board& board, const std::string& uci) {
  MoveList list;
  board.generate_moves(list);
  for (int i = 0; i < list.count; ++i)
    if (move_to_uci(list.moves[i]) == uci) return list.moves[i];
  ADD_FAILURE() << uci << " is not generated";
  return -1;
}

bool same_position(const Board& a, const Board& b) {
  return a.bitboards == b.bitboards && a.occupancies == b.occupancies && a.side == b.side &&
         a.castle == b.castle && a.enpassant == b.enpassant &&
         a.no_progress_count == b.no_progress_count;
}

TEST(MoveWord, FieldsRoundTrip) {
  const int move = encode_move(b7, a8, kWhitePawn, kWhiteRook, kCaptureFlag);
  EXPECT_EQ(move_source(move), b7);
  EXPECT_EQ(move_target(move), a8);
  EXPECT_EQ(move_piece(move), kWhitePawn);
  EXPECT_EQ(move_promoted(move), kWhiteRook);
  EXPECT_TRUE(move_is_capture(move));
  EXPECT_FALSE(move_is_double_push(move) || move_is_enpassant(move) || move_is_castling(move));
  EXPECT_EQ(move >> 24, 0);
  EXPECT_EQ(kWhiteCastleKingSide, 8413116);
  EXPECT_EQ(kWhiteCastleQueenSide, 8412860);
  EXPECT_EQ(kBlackCastleKingSide, 8434052);
  EXPECT_EQ(kBlackCastleQueenSide, 8433796);
}

TEST(Generate, StartPositionOrder) {
  Board board;
  board.parse_fen("rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1");
  EXPECT_EQ(generated(board),
            (std::vector<std::string>{"a2a3", "a2a4", "b2b3", "b2b4", "c2c3", "c2c4", "d2d3",
                                      "d2d4", "e2e3", "e2e4", "f2f3", "f2f4", "g2g3", "g2g4",
                                      "h2h3", "h2h4", "b1a3", "b1c3", "g1f3", "g1h3"}));
  MoveList list;
  board.generate_moves(list);
  EXPECT_TRUE(move_is_double_push(list.moves[1]));
  EXPECT_FALSE(move_is_double_push(list.moves[0]));
}

TEST(Generate, PromotionsPushesBeforeCapturesQueenFirst) {
  Board board;
  board.parse_fen("n3k3/1P6/8/8/8/8/8/4K3 w - - 0 1");
  MoveList list;
  board.generate_moves(list);
  const std::vector<std::string> expected = {"b7b8q", "b7b8r", "b7b8b", "b7b8n",
                                             "b7a8q", "b7a8r", "b7a8b", "b7a8n"};
  ASSERT_GE(list.count, 8);
  for (int i = 0; i < 8; ++i) {
    EXPECT_EQ(move_to_uci(list.moves[i]), expected[i]);
    EXPECT_EQ(move_is_capture(list.moves[i]), i >= 4);
  }
}

TEST(Generate, BlockedPawns) {
  Board board;
  board.parse_fen("4k3/8/8/8/8/4n3/4P3/4K3 w - - 0 1");
  for (const auto& move : generated(board)) EXPECT_NE(move.substr(0, 2), "e2");
  board.parse_fen("4k3/8/8/8/4n3/8/4P3/4K3 w - - 0 1");
  std::vector<std::string> pawn;
  for (const auto& move : generated(board))
    if (move.substr(0, 2) == "e2") pawn.push_back(move);
  EXPECT_EQ(pawn, std::vector<std::string>{"e2e3"});
}

TEST(Generate, QueenSideCastlingIgnoresAnAttackOnB1) {
  Board board;
  board.parse_fen("1r2k3/8/8/8/8/8/8/R3K3 w Q - 0 1");
  const auto moves = generated(board);
  EXPECT_NE(std::find(moves.begin(), moves.end(), "e1c1"), moves.end());
  // d1 attacked: no castling.
  board.parse_fen("3rk3/8/8/8/8/8/8/R3K3 w Q - 0 1");
  const auto blocked = generated(board);
  EXPECT_EQ(std::find(blocked.begin(), blocked.end(), "e1c1"), blocked.end());
}

TEST(Generate, CastlingListedJustBeforeTheKingsOwnMoves) {
  Board board;
  board.parse_fen("r3k2r/8/8/8/8/8/8/R3K2R b KQkq - 0 1");
  const auto moves = generated(board);
  const auto castle = std::find(moves.begin(), moves.end(), "e8g8");
  ASSERT_NE(castle, moves.end());
  EXPECT_EQ(*(castle + 1), "e8c8");
  EXPECT_EQ((castle + 2)->substr(0, 2), "e8");
  EXPECT_EQ(moves.back().substr(0, 2), "e8");
  EXPECT_EQ(std::find(moves.begin(), moves.end(), "e1g1"), moves.end());
}

TEST(Generate, NoCastlingWithoutKingAndRookAtHome) {
  Board board;
  // The rights say yes, the placement says no: a rook on e8 instead of the king, a king
  // without its rook, a right with neither.
  for (const char* fen : {"r3r2r/8/8/8/8/8/8/4K3 b kq - 0 1", "4k3/8/8/8/8/8/8/R3K3 w K - 0 1",
                          "4k3/8/8/8/8/8/8/8 w KQ - 0 1", "4k3/8/8/8/8/8/8/4K2R w Q - 0 1"}) {
    board.parse_fen(fen);
    MoveList list;
    board.generate_moves(list);
    for (int i = 0; i < list.count; ++i) EXPECT_FALSE(move_is_castling(list.moves[i])) << fen;
  }
  // The rook on e8 keeps its own move to g8, which castling would have shadowed.
  board.parse_fen("r3r3/8/8/8/8/8/8/4K1k1 b k - 0 1");
  board.get_actions();
  EXPECT_EQ(testing::move_to_uci(board.move_index.at(3204)), "e8g8");
  EXPECT_EQ(move_piece(board.move_index.at(3204)), kBlackRook);
}

TEST(Generate, NoEnPassantWithoutTheSquare) {
  Board board;
  board.parse_fen("4k3/8/8/3pP3/8/8/8/4K3 w - - 0 1");
  for (const auto& move : generated(board)) EXPECT_NE(move, "e5d6");
  // En-passant fields that play cannot produce: the square occupied, no pawn beyond it,
  // the square on another rank.
  for (const char* fen : {"4k3/8/3n4/3pP3/8/8/8/4K3 w - d6 0 1", "4k3/8/8/4P3/8/8/8/4K3 w - d6 0 1",
                          "4k3/8/8/8/8/3p4/4P3/4K3 w - d3 0 1"}) {
    board.parse_fen(fen);
    MoveList list;
    board.generate_moves(list);
    for (int i = 0; i < list.count; ++i) EXPECT_FALSE(move_is_enpassant(list.moves[i])) << fen;
  }
  board.parse_fen("4k3/8/8/8/3pP3/8/8/4K3 b - e3 0 1");
  const auto black = generated(board);
  EXPECT_NE(std::find(black.begin(), black.end(), "d4e3"), black.end());
  board.parse_fen("4k3/8/8/3pP3/8/8/8/4K3 w - d6 0 1");
  const auto moves = generated(board);
  EXPECT_NE(std::find(moves.begin(), moves.end(), "e5d6"), moves.end());
}

TEST(Generate, NothingToMove) {
  Board board;
  board.parse_fen("4k3/8/8/8/8/8/8/8 w - - 0 1");
  EXPECT_TRUE(generated(board).empty());
  Board empty;
  EXPECT_TRUE(generated(empty).empty());
}

TEST(Generate, NeverWritesPastTheListWhateverThePlacement) {
  Board board;
  board.parse_fen("QQQQQQQQ/QQQQQQQQ/QQQ4Q/QQQ1Q1QQ/QQ3QQQ/Q1Q1Q1QQ/QQQQQQQQ/QQQQQQQQ w KQ - 0 1");
  MoveList list;
  board.generate_moves(list);
  EXPECT_LE(list.count, kMaxMoves);
  // Every square of a queen set on an empty board: 8 queens in the centre region.
  board.parse_fen("8/8/2QQQQ2/2Q2Q2/2Q2Q2/2QQQQ2/8/8 w - - 0 1");
  board.generate_moves(list);
  EXPECT_GT(list.count, 100);
}

TEST(MakeMove, DoublePushSetsTheEnPassantSquare) {
  Board board;
  board.parse_fen("rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1");
  EXPECT_EQ(board.make_move(find_move(board, "e2e4")), 1);
  EXPECT_EQ(board.enpassant, e3);
  EXPECT_EQ(board.side, kBlack);
  EXPECT_EQ(board.no_progress_count, 1);
  EXPECT_EQ(board.make_move(find_move(board, "g8f6")), 1);
  EXPECT_EQ(board.enpassant, kNoSquare);
  EXPECT_EQ(board.no_progress_count, 2);
}

TEST(MakeMove, KnightMoveCountsTowardsTheClock) {
  Board board;
  board.parse_fen("rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1");
  board.no_progress_count = 7;
  EXPECT_EQ(board.make_move(find_move(board, "b1c3")), 1);
  EXPECT_EQ(board.no_progress_count, 8);
}

TEST(MakeMove, KingSideCastlingMovesTheRook) {
  Board board;
  board.parse_fen("r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1");
  board.no_progress_count = 3;
  EXPECT_EQ(board.make_move(find_move(board, "e1g1")), 1);
  EXPECT_EQ(board.bitboards[kWhiteKing], bit(g1));
  EXPECT_EQ(board.bitboards[kWhiteRook], bit(f1) | bit(a1));
  EXPECT_EQ(board.castle, 12);
  EXPECT_EQ(board.no_progress_count, 4);
}

TEST(MakeMove, BlackQueenSideCastling) {
  Board board;
  board.parse_fen("r3k2r/8/8/8/8/8/8/R3K2R b KQkq - 0 1");
  EXPECT_EQ(board.make_move(find_move(board, "e8c8")), 1);
  EXPECT_EQ(board.bitboards[kBlackKing], bit(c8));
  EXPECT_EQ(board.bitboards[kBlackRook], bit(d8) | bit(h8));
  EXPECT_EQ(board.castle, 3);
}

TEST(MakeMove, CaptureOnH8RemovesBlacksKingSideRight) {
  Board board;
  board.parse_fen("r3k2n/8/8/8/8/8/8/4K2R w Kkq - 0 1");
  EXPECT_EQ(board.make_move(find_move(board, "h1h8")), 1);
  EXPECT_EQ(board.castle, 8);
  EXPECT_EQ(board.bitboards[kBlackKnight], 0u);
  EXPECT_EQ(board.no_progress_count, 1);
}

TEST(MakeMove, EnPassantRemovesThePawnBehindTheTarget) {
  Board board;
  board.parse_fen("4k3/8/8/3pP3/8/8/8/4K3 w - d6 0 1");
  EXPECT_EQ(board.make_move(find_move(board, "e5d6")), 1);
  EXPECT_EQ(board.bitboards[kWhitePawn], bit(d6));
  EXPECT_EQ(board.bitboards[kBlackPawn], 0u);
  board.parse_fen("4k3/8/8/8/3pP3/8/8/4K3 b - e3 0 1");
  EXPECT_EQ(board.make_move(find_move(board, "d4e3")), 1);
  EXPECT_EQ(board.bitboards[kBlackPawn], bit(e3));
  EXPECT_EQ(board.bitboards[kWhitePawn], 0u);
}

TEST(MakeMove, CapturePromotion) {
  Board board;
  board.parse_fen("r3k3/1P6/8/8/8/8/8/4K3 w q - 0 1");
  EXPECT_EQ(board.make_move(find_move(board, "b7a8n")), 1);
  EXPECT_EQ(board.bitboards[kWhitePawn], 0u);
  EXPECT_EQ(board.bitboards[kWhiteKnight], bit(a8));
  EXPECT_EQ(board.bitboards[kBlackRook], 0u);
  EXPECT_EQ(board.castle, 0);
  board.parse_fen("4k3/8/8/8/8/8/6p1/4K2R b K - 0 1");
  EXPECT_EQ(board.make_move(find_move(board, "g2h1q")), 1);
  EXPECT_EQ(board.bitboards[kBlackQueen], bit(h1));
  EXPECT_EQ(board.bitboards[kWhiteRook], 0u);
  EXPECT_EQ(board.castle, 0);
}

TEST(MakeMove, IllegalMovesLeaveEverythingAsItWas) {
  Board board;
  // The e2 knight is pinned by the rook on e8; then a king step onto the bishop's
  // diagonal, and castling onto a g1 that the rook covers.
  board.parse_fen("4r1k1/8/8/8/8/8/4N3/4K2R w K - 0 1");
  board.no_progress_count = 9;
  const Board before = board;
  for (const char* uci : {"e2c3", "e2g3"}) {
    EXPECT_EQ(board.make_move(find_move(board, uci)), 0) << uci;
    EXPECT_TRUE(same_position(board, before)) << uci;
  }
  for (const auto& [fen, uci] : {std::pair{"6k1/8/8/2b5/8/8/8/4K2R w K - 0 1", "e1f2"},
                                  std::pair{"6k1/6r1/8/8/8/8/8/4K2R w K - 0 1", "e1g1"}}) {
    board.parse_fen(fen);
    const Board position = board;
    EXPECT_EQ(board.make_move(find_move(board, uci)), 0) << uci;
    EXPECT_TRUE(same_position(board, position)) << uci;
  }
}

TEST(MakeMove, MissingKingMakesEveryMoveLegal) {
  Board board;
  board.parse_fen("4k3/8/8/8/8/8/8/R7 w - - 0 1");
  MoveList list;
  board.generate_moves(list);
  ASSERT_GT(list.count, 0);
  const PositionCopy before(board);
  for (int i = 0; i < list.count; ++i) {
    EXPECT_EQ(board.make_move(list.moves[i]), 1);
    before.restore(board);
  }
}

class Perft : public ::testing::TestWithParam<testing::PerftRow> {};

// Rows up to this many nodes run by default; VANTOR_PERFT_MAX_NODES raises the bound
// (2000000000 runs every row).
long perft_budget() { return testing::env_number("VANTOR_PERFT_MAX_NODES", 20'000'000); }

TEST_P(Perft, MatchesThePublishedTotal) {
  const auto& row = GetParam();
  if (row.nodes > static_cast<std::uint64_t>(perft_budget()))
    GTEST_SKIP() << row.nodes << " nodes is above VANTOR_PERFT_MAX_NODES";
  Board board;
  board.parse_fen(row.fen);
  EXPECT_EQ(testing::perft(board, row.depth), row.nodes) << row.fen;
}

INSTANTIATE_TEST_SUITE_P(Standard, Perft, ::testing::ValuesIn(testing::read_perft_table()),
                         [](const auto& info) {
                           return info.param.name + "_depth" + std::to_string(info.param.depth);
                         });

}  // namespace
}  // namespace vantor
