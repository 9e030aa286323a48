// The legal-action mask and move_index.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "chess_util.h"
#include "engine/actions.h"
#include "engine/board.h"

namespace vantor {
namespace {

using testing::move_to_uci;

std::vector<int> legal_actions(Board& board) {
  const auto mask = board.get_actions();
  std::vector<int> actions;
  for (int plane = 0; plane < kPlanes; ++plane)
    for (int square = 0; square < 64; ++square)
      if (mask[plane][square]) actions.push_back(64 * plane + square);
  return actions;
}

// The UCI text of the move behind an action, through move_index.
std::string uci_of(Board& board, int action) {
  board.get_actions();
  const auto found = board.move_index.find(action);
  return found == board.move_index.end() ? "" : move_to_uci(found->second);
}

TEST(Actions, StartPosition) {
  Board board;
  board.parse_fen("rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1");
  std::vector<int> expected;
  for (int square = a2; square <= h2; ++square) expected.push_back(64 * 7 + square);
  for (int square = a2; square <= h2; ++square) expected.push_back(64 * 8 + square);
  for (int action : {3641, 3646, 3705, 3710}) expected.push_back(action);
  EXPECT_EQ(legal_actions(board), expected);
  EXPECT_EQ(board.move_index.size(), 20u);
  for (int action : expected) EXPECT_EQ(board.move_index.count(action), 1u) << action;
  EXPECT_EQ(move_to_uci(board.move_index.at(564)), "e2e4");
  EXPECT_EQ(move_to_uci(board.move_index.at(3641)), "b1a3");
  EXPECT_EQ(move_to_uci(board.move_index.at(3710)), "g1h3");
}

TEST(Actions, BlackDoublePushSharesWhitesPlane) {
  Board board;
  board.parse_fen("rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq e3 0 1");
  EXPECT_EQ(uci_of(board, 524), "e7e5");
}

TEST(Actions, KnightInTheCentreFillsEveryKnightPlane) {
  Board board;
  board.parse_fen("7k/8/8/8/3N4/8/8/K7 w - - 0 1");
  const auto mask = board.get_actions();
  const std::vector<std::string> targets = {"d4c6", "d4e6", "d4f5", "d4f3",
                                            "d4e2", "d4c2", "d4b3", "d4b5"};
  for (int plane = 56; plane < 64; ++plane) {
    EXPECT_EQ(mask[plane][d4], 1);
    EXPECT_EQ(move_to_uci(board.move_index.at(64 * plane + d4)), targets[plane - 56]);
  }
}

TEST(Actions, LineMovesAreSeenFromTheMover) {
  Board board;
  board.parse_fen("4k3/8/8/8/8/8/8/3QK3 w - - 0 1");
  EXPECT_EQ(uci_of(board, 635), "d1d4");
  board.parse_fen("3qk3/8/8/8/8/8/8/4K3 b - - 0 1");
  EXPECT_EQ(uci_of(board, 579), "d8d5");
  EXPECT_EQ(board.move_direction(d8, d5), std::make_pair(3, 1));
  EXPECT_EQ(board.move_direction(d8, a5), std::make_pair(3, 2));  // forward-right for black
  EXPECT_EQ(board.move_direction(d8, h8), std::make_pair(4, 7));  // left for black
  EXPECT_EQ(board.move_direction(d8, d8), std::make_pair(-1, -1));
  board.side = kWhite;
  EXPECT_EQ(board.move_direction(d1, h5), std::make_pair(4, 2));
  EXPECT_EQ(board.move_direction(h5, d1), std::make_pair(4, 6));
}

TEST(Actions, Promotions) {
  Board board;
  board.parse_fen("r3k3/1P6/8/8/8/8/8/4K3 w - - 0 1");
  EXPECT_EQ(uci_of(board, 457), "b7b8q");
  EXPECT_EQ(uci_of(board, 4297), "b7b8n");
  EXPECT_EQ(uci_of(board, 4361), "b7b8b");
  EXPECT_EQ(uci_of(board, 4425), "b7b8r");
  EXPECT_EQ(uci_of(board, 4233), "b7a8r");
  EXPECT_EQ(uci_of(board, 64 * 0 + b7), "b7a8q");
  // A black capture toward file h is forward-left as black sees it.
  board.parse_fen("4k3/8/8/8/8/8/1p6/2R1K3 b - - 0 1");
  EXPECT_EQ(uci_of(board, 64 * 64 + b2), "b2c1n");
  EXPECT_EQ(uci_of(board, 64 * 0 + b2), "b2c1q");
  EXPECT_EQ(uci_of(board, 64 * 67 + b2), "b2b1n");
  EXPECT_EQ(uci_of(board, 64 * 70 + b2), "");  // b2a1: nothing to capture
}

TEST(Actions, Castling) {
  Board board;
  board.parse_fen("r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1");
  EXPECT_EQ(uci_of(board, 1468), "e1g1");
  EXPECT_EQ(uci_of(board, 3260), "e1c1");
  board.parse_fen("r3k2r/8/8/8/8/8/8/R3K2R b KQkq - 0 1");
  EXPECT_EQ(uci_of(board, 3204), "e8g8");
  EXPECT_EQ(uci_of(board, 1412), "e8c8");
}

TEST(Actions, EnPassant) {
  Board board;
  board.parse_fen("4k3/8/8/3pP3/8/8/8/4K3 w - d6 0 1");
  EXPECT_EQ(uci_of(board, 28), "e5d6");
}

TEST(Actions, NoLegalMoveGivesAnEmptyMaskAndIndex) {
  Board board;
  for (const char* fen : {"rnb1kbnr/pppp1ppp/8/4p3/6Pq/5P2/PPPPP2P/RNBQKBNR w KQkq - 1 3",
                          "7k/5Q2/6K1/8/8/8/8/8 b - - 0 1", "4k3/8/8/8/8/8/8/8 w - - 0 1"}) {
    board.parse_fen(fen);
    board.move_index[1] = 2;
    EXPECT_TRUE(legal_actions(board).empty()) << fen;
    EXPECT_TRUE(board.move_index.empty()) << fen;
  }
}

// Plays random legal moves from a few starting points and hands every position reached
// to the check.
template <typename Check>
void for_random_positions(int games, int plies, unsigned seed, Check check) {
  const char* starts[] = {
      "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1",
      "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1",
      "n1n5/PPPk4/8/8/8/8/4Kppp/5N1N b - - 0 1",
  };
  std::mt19937 random(seed);
  for (int game = 0; game < games; ++game) {
    Board board;
    board.parse_fen(starts[game % 3]);
    for (int ply = 0; ply < plies; ++ply) {
      check(board);
      board.get_actions();
      if (board.move_index.empty()) break;
      auto it = board.move_index.begin();
      std::advance(it, random() % board.move_index.size());
      ASSERT_EQ(board.make_move(it->second), 1);
    }
  }
}

TEST(Actions, LeaveEveryFieldAsFound) {
  for_random_positions(30, 80, 5, [](Board& board) {
    board.no_progress_count = 17;
    const Board before = board;
    const auto first = board.get_actions();
    const auto second = board.get_actions();
    ASSERT_EQ(first, second);
    ASSERT_EQ(board.bitboards, before.bitboards);
    ASSERT_EQ(board.occupancies, before.occupancies);
    ASSERT_EQ(board.side, before.side);
    ASSERT_EQ(board.castle, before.castle);
    ASSERT_EQ(board.enpassant, before.enpassant);
    ASSERT_EQ(board.no_progress_count, before.no_progress_count);
    ASSERT_EQ(board.total_move_count, before.total_move_count);
    ASSERT_EQ(board.state_pos, before.state_pos);
    ASSERT_EQ(board.just_reset, before.just_reset);
    ASSERT_EQ(board.n_repititions, before.n_repititions);
    ASSERT_EQ(board.prev_n_repititions, before.prev_n_repititions);
    ASSERT_EQ(board.state_history, before.state_history);
    ASSERT_EQ(board.repetition_count, before.repetition_count);
  });
}

// list_legal skips the trial move where it can prove a move legal; every verdict must
// match the trial of each pseudo-legal move.
TEST(Actions, OneActionPerLegalMoveAsTheTrialMoveDecides) {
  for_random_positions(60, 100, 9, [](Board& board) {
    MoveList list;
    board.generate_moves(list);
    std::map<int, int> expected;
    for (int i = 0; i < list.count; ++i)
      if (board.is_legal(list.moves[i])) expected[board.action_of(list.moves[i])] = list.moves[i];
    const auto actions = legal_actions(board);
    const std::map<int, int> indexed(board.move_index.begin(), board.move_index.end());
    ASSERT_EQ(indexed, expected);
    ASSERT_EQ(actions.size(), expected.size());
    for (int action : actions) ASSERT_TRUE(action >= 0 && action < kActions);
  });
}

TEST(Actions, PinsChecksAndEnPassantDecidedAsByTrial) {
  Board board;
  for (const char* fen : {
           "4k3/8/8/8/4r3/8/4N3/4K3 w - - 0 1",      // knight pinned on the file
           "4k3/8/8/8/4r3/8/4R3/4K3 w - - 0 1",      // rook pinned but free along the file
           "4k3/8/8/b7/8/8/3P4/4K3 w - - 0 1",       // pawn pinned on the diagonal
           "4k3/8/8/8/8/8/3n4/4K3 w - - 0 1",        // check by a knight
           "8/8/8/KPp4r/8/8/8/7k w - c6 0 1",        // en passant uncovering the rank
           "4k3/8/8/8/4r3/4n3/4N3/4K3 w - - 0 1",    // two pieces between: no pin
           "4k3/8/8/8/1b6/8/3N4/4K2R w K - 0 1",     // pin and castling
       }) {
    board.parse_fen(fen);
    MoveList list;
    board.generate_moves(list);
    std::set<int> expected;
    for (int i = 0; i < list.count; ++i)
      if (board.is_legal(list.moves[i])) expected.insert(board.action_of(list.moves[i]));
    const auto actions = legal_actions(board);
    EXPECT_EQ(std::set<int>(actions.begin(), actions.end()), expected) << fen;
  }
}

}  // namespace
}  // namespace vantor
