// The rules a board plays by: the half-move clock, the draws of chess, the position key
// that repetitions are counted by, and insufficient material.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "chess_util.h"
#include "engine/board.h"
#include "engine/snapshot.h"

namespace vantor {
namespace {

using testing::play;

Board board_under(Rules rules, const char* fen = kStartFen) {
  Board board;
  board.rules = rules;
  board.start_from(fen);
  return board;
}

Ending ending_of(Board& board) {
  ActionList legal;
  board.list_legal(legal);
  return board.outcome(legal.count > 0).ending;
}

// Plays the moves, each given as UCI text, and returns the ending after the last.
Ending after(Board& board, const std::vector<std::string>& moves) {
  for (const std::string& move : moves) board.step(testing::action_of(board, move));
  return ending_of(board);
}

// Each rule set's clock after a pawn move or capture, its draw by repetition (knights out
// and back bring the start position again every four plies) and by the clock, and a mate
// on the move that reaches the clock's limit, which stays a mate.
TEST(Rules, EachRuleSetKeepsItsClockAndDrawsByItsLimits) {
  const std::vector<std::string> shuffle = {"g1f3", "g8f6", "f3g1", "f6g8"};
  struct Row {
    Rules rules;
    int zeroed;            // the clock after a pawn move or capture
    int shuffles_to_draw;  // complete shuffles before the repetition draw
    Ending repetition;
    Ending clock;
  };
  const Row rows[] = {
      {Rules::module, 1, 2, Ending::repetition, Ending::fifty_moves},
      {Rules::standard, 0, 2, Ending::repetition, Ending::fifty_moves},
      {Rules::automatic, 0, 4, Ending::fivefold_repetition, Ending::seventyfive_moves},
  };
  for (const Row& row : rows) {
    Board clock = board_under(row.rules);
    play(clock, {"e2e4", "g8f6"});
    EXPECT_EQ(clock.no_progress_count, row.zeroed + 1) << name_of(row.rules);
    play(clock, {"b1c3", "f6e4"});  // a capture
    ActionList legal;
    clock.list_legal(legal);  // trial moves leave the clock alone
    EXPECT_EQ(clock.no_progress_count, row.zeroed) << name_of(row.rules);

    Board board = board_under(row.rules);
    for (int n = 0; n < row.shuffles_to_draw; ++n) {
      EXPECT_EQ(after(board, {shuffle[0], shuffle[1], shuffle[2]}), Ending::none) << name_of(row.rules);
      EXPECT_EQ(after(board, {shuffle[3]}), n + 1 == row.shuffles_to_draw ? row.repetition : Ending::none)
          << name_of(row.rules) << " shuffle " << n;
    }
    // A clock one short of the draw (a caller sets it: start_from reads no clock), then a
    // quiet move and a mating one.
    for (const auto& [move, ending] : {std::pair{"a1a2", row.clock}, std::pair{"a1a8", Ending::checkmate}}) {
      Board limit = board_under(row.rules, "6k1/5ppp/8/8/8/8/8/R5K1 w - - 0 1");
      limit.no_progress_count = halfmove_limit(row.rules) - 1;
      EXPECT_EQ(after(limit, {move}), ending) << name_of(row.rules) << " " << move;
    }
  }
}

TEST(Rules, ChessTellsPiecesApartWhereTheModuleHashDoesNot) {
  // Rook a1 and knight b1 trade squares by Nd2, Rb1, Nb3, Na1 (with black's knight going
  // out and back): the module's hash counts the new position as the start's, chess does not.
  const std::vector<std::string> moves = {"b1d2", "g8f6", "a1b1", "f6g8", "d2b3", "g8f6", "b3a1", "f6g8"};
  const char* fen = "rnbqkbnr/pppppppp/8/8/8/8/8/RN2K3 w - - 0 1";
  Board module = board_under(Rules::module, fen), standard = board_under(Rules::standard, fen);
  after(module, moves);
  after(standard, moves);
  EXPECT_EQ(module.n_repititions, 1);
  EXPECT_EQ(standard.n_repititions, 0);
  EXPECT_EQ(module.hash_state(), board_under(Rules::module, fen).hash_state());
  EXPECT_NE(standard.position_key(), board_under(Rules::standard, fen).position_key());
}

TEST(Rules, AnEnPassantSquareCountsOnlyWhereTheCaptureIsLegal) {
  struct Row {
    const char* fen;
    bool legal;
  };
  const Row rows[] = {
      {"4k3/8/8/3pP3/8/8/8/4K3 w - d6 0 1", true},
      {"4k3/8/8/3p4/8/8/8/4K3 w - d6 0 1", false},           // no pawn to capture with
      {"8/8/8/K2pP2r/8/8/8/7k w - d6 0 1", false},           // the capture opens the rank to the king
      {"3rk3/8/8/3pP3/8/8/8/4K3 w - d6 0 1", true},          // the pawn lands on the rook's file
      {"4k3/8/8/2bpP3/8/8/8/K7 w - d6 0 1", true},           // the bishop's line is not the king's
      {"4k2b/8/8/3pP3/8/8/8/K7 w - d6 0 1", false},          // the capturing pawn is pinned
      {"4k3/8/8/8/3Pp3/8/8/4K3 b - d3 0 1", true},
      {"8/8/8/4k3/3Pp3/8/8/4K3 b - d3 0 1", true},           // the capture takes the checking pawn
      {"8/8/8/8/k2Pp2R/8/8/4K3 b - d3 0 1", false},          // it opens the rank to the king
  };
  for (const Row& row : rows) {
    Board board = board_under(Rules::standard, row.fen);
    // The same position without the square: equal keys exactly when the capture is not legal.
    std::string plain = row.fen;
    plain.replace(plain.find(board.side == kWhite ? " d6 " : " d3 "), 4, " - ");
    Board without = board_under(Rules::standard, plain.c_str());
    EXPECT_EQ(board.en_passant_legal(), row.legal) << row.fen;
    EXPECT_EQ(board.position_key() != without.position_key(), row.legal) << row.fen;
    // The same verdict as playing the capture.
    bool playable = false;
    MoveList list;
    board.generate_moves(list);
    for (int i = 0; i < list.count; ++i)
      if (move_is_enpassant(list.moves[i])) playable = playable || board.is_legal(list.moves[i]);
    EXPECT_EQ(playable, row.legal) << row.fen;
  }
}

TEST(Rules, InsufficientMaterialAsChessJudgesIt) {
  struct Row {
    const char* fen;
    bool insufficient;
  };
  const Row rows[] = {
      {"4k3/8/8/8/8/8/8/4K3 w - - 0 1", true},
      {"4k3/8/8/8/8/8/8/4KN2 w - - 0 1", true},
      {"4k3/8/8/8/8/8/8/4KB2 w - - 0 1", true},
      {"4kb2/8/8/8/8/8/8/2B1K3 w - - 0 1", true},    // bishops on one colour (c1 and f8 dark)
      {"4k1b1/8/8/8/8/8/8/2B1K3 w - - 0 1", false},  // bishops on both colours
      {"4k3/8/8/8/8/8/8/3NKN2 w - - 0 1", false},    // two knights can mate with help
      {"4kn2/8/8/8/8/8/8/4KN2 w - - 0 1", false},    // knight against knight: a self-mate is possible
      {"4kq2/8/8/8/8/8/8/4KN2 w - - 0 1", false},    // the queen side can mate
      {"4k3/8/8/8/8/8/8/4KN1q w - - 0 1", false},
      {"4k3/8/8/8/8/8/8/3BKN2 w - - 0 1", false},
      {"4k3/8/8/8/8/8/4P3/4K3 w - - 0 1", false},
      {"4k3/8/8/8/8/8/8/4KR2 w - - 0 1", false},
      {"4k3/8/8/8/8/8/8/4KQ2 w - - 0 1", false},
      {"4kb2/8/8/8/8/8/8/4KN2 w - - 0 1", false},    // bishop and knight on the board
  };
  for (const Row& row : rows) {
    Board board = board_under(Rules::standard, row.fen);
    EXPECT_EQ(board.insufficient_material(), row.insufficient) << row.fen;
    EXPECT_EQ(ending_of(board), row.insufficient ? Ending::insufficient_material : Ending::none) << row.fen;
    // The module's rules know no such draw.
    Board module = board_under(Rules::module, row.fen);
    EXPECT_EQ(ending_of(module), Ending::none) << row.fen;
  }
  // A capture that leaves bare kings ends the game at once, before any stalemate test.
  Board board = board_under(Rules::standard, "4k3/8/8/8/8/8/8/3qK3 w - - 0 1");
  EXPECT_EQ(after(board, {"e1d1"}), Ending::insufficient_material);
  EXPECT_EQ(board.no_progress_count, 0);
}

// Under every rule set, judging a move without playing it gives what playing it and
// judging the new position gives, over random games to their end.
TEST(Rules, JudgeAfterEqualsPlayingUnderEveryRuleSet) {
  std::mt19937 random(11);
  int endings[8] = {};
  for (Rules rules : {Rules::standard, Rules::automatic}) {
    for (int game = 0; game < 30; ++game) {
      Board board = board_under(rules);
      ActionList legal;
      board.list_legal(legal);
      for (int ply = 0; ply < 2000 && legal.count > 0; ++ply) {
        const int move = legal.moves[random() % legal.count];
        const Outcome judged = board.outcome_after(move);
        const Outcome played = board.play_listed(move, legal);
        ASSERT_EQ(judged.reward, played.reward);
        ASSERT_EQ(judged.ending, played.ending);
        if (played.over()) {
          ++endings[static_cast<int>(played.ending)];
          break;
        }
      }
    }
  }
  // Random games end by material and by the clock, and some by mate.
  EXPECT_GT(endings[static_cast<int>(Ending::insufficient_material)], 0);
  EXPECT_GT(endings[static_cast<int>(Ending::fifty_moves)] + endings[static_cast<int>(Ending::seventyfive_moves)], 0);
}

TEST(Rules, ASnapshotIsRefusedUnderTheOtherFamilyOfRules) {
  for (Rules made : {Rules::module, Rules::standard, Rules::automatic}) {
    Board board = board_under(made);
    play(board, {"e2e4", "e7e5", "g1f3"});
    const State snapshot = board.save_state();
    for (Rules used : {Rules::module, Rules::standard, Rules::automatic}) {
      const bool same_family = (made == Rules::module) == (used == Rules::module);
      if (same_family) {
        EXPECT_NO_THROW(check_counted_under(snapshot, used));
      } else {
        try {
          check_counted_under(snapshot, used);
          ADD_FAILURE() << name_of(made) << " under " << name_of(used);
        } catch (const std::invalid_argument& error) {
          EXPECT_NE(std::string(error.what()).find(std::string(name_of(used))), std::string::npos) << error.what();
        }
      }
    }
  }
  // A hand-made snapshot with no counts tells nothing and passes.
  EXPECT_NO_THROW(check_counted_under(State{}, Rules::standard));
}

}  // namespace
}  // namespace vantor
