// reset, step and the end of the game; the random roll-out.
#include <gtest/gtest.h>

#include <random>
#include <stdexcept>
#include <tuple>

#include "chess_util.h"
#include "engine/board.h"

namespace vantor {
namespace {

using testing::action_of;
using testing::play;

int reward_of(const StepResult& r) { return std::get<2>(r); }
int done_of(const StepResult& r) { return std::get<3>(r); }

TEST(Reset, KeepsTheStepCounterAndStartsAFreshHistory) {
  Board board;
  board.reset();
  play(board, {"e2e4", "e7e5", "g1f3"});
  EXPECT_EQ(board.total_move_count, 3);
  const auto [side, planes, reward, done] = board.reset();
  EXPECT_EQ(board.total_move_count, 3);
  EXPECT_EQ(side, kWhite);
  EXPECT_EQ(board.just_reset, 1);
  EXPECT_EQ(board.state_history.size(), 1u);
  EXPECT_EQ(board.repetition_count.size(), 1u);
  EXPECT_EQ(board.move_index.size(), 20u);
  EXPECT_EQ(board.n_repititions, 0);
  EXPECT_EQ(board.prev_n_repititions, 0);
  EXPECT_EQ(planes[113][0], 3);
}

TEST(Step, InvalidActionChangesNothingButTheFlagAndIndex) {
  Board board;
  board.reset();
  play(board, {"e2e4"});
  board.move_index.clear();
  const Board before = board;
  for (int action : {-1, 0, 4672, 564, 1 << 30}) {
    try {
      board.step(action);
      FAIL() << action;
    } catch (const std::invalid_argument& error) {
      EXPECT_STREQ(error.what(), "Invalid action");
    }
    EXPECT_EQ(board.bitboards, before.bitboards);
    EXPECT_EQ(board.side, before.side);
    EXPECT_EQ(board.enpassant, before.enpassant);
    EXPECT_EQ(board.no_progress_count, before.no_progress_count);
    EXPECT_EQ(board.state_history, before.state_history);
    EXPECT_EQ(board.state_pos, before.state_pos);
    EXPECT_EQ(board.repetition_count, before.repetition_count);
    EXPECT_EQ(board.total_move_count, before.total_move_count);
    EXPECT_EQ(board.move_index.size(), 20u);  // rebuilt for the current position
  }
}

// judge_after and mate_in_one_after tell, without playing a move, what playing it and
// judging (every reply) would: over random games, every legal move of every position, and
// the board is left as it was.
TEST(JudgeAfter, EqualsPlayingTheMoveAndLeavesTheBoardAlone) {
  std::mt19937 random(7);
  int ended = 0, mates = 0;
  for (int game = 0; game < 12; ++game) {
    Board board;
    board.reset();
    ActionList legal;
    board.list_legal(legal);
    for (int ply = 0; ply < 300 && legal.count > 0; ++ply) {
      const Board before = board;
      for (int i = 0; i < legal.count; ++i) {
        Board played = board;
        played.play(legal.moves[i]);
        ActionList after;
        played.list_legal(after);
        const auto expected = played.judge(after.count > 0);
        ASSERT_EQ(board.judge_after(legal.moves[i]), expected);
        ended += expected.second;
        bool mate = false;
        // judge_after, proven above, gives a mating reply a winner.
        for (int j = 0; j < after.count && !expected.second; ++j)
          mate = mate || played.judge_after(after.moves[j]).first != 0;
        if (!expected.second) {
          ASSERT_EQ(board.mate_in_one_after(legal.moves[i]), mate);
        }
        mates += mate;
      }
      ASSERT_EQ(board.bitboards, before.bitboards);
      ASSERT_EQ(board.occupancies, before.occupancies);
      ASSERT_EQ(std::tie(board.side, board.castle, board.enpassant, board.no_progress_count),
                std::tie(before.side, before.castle, before.enpassant, before.no_progress_count));
      ASSERT_EQ(board.repetition_count, before.repetition_count);
      if (board.play_listed(legal.moves[random() % legal.count], legal).over()) break;
    }
  }
  // Mates, stalemates and the draw rules all come up in random games, and moves that allow a mate.
  EXPECT_GT(ended, 0);
  EXPECT_GT(mates, 0);
}

TEST(Step, FoolsMate) {
  Board board;
  board.reset();
  EXPECT_EQ(done_of(play(board, {"f2f3"})), 0);
  EXPECT_EQ(done_of(play(board, {"e7e5"})), 0);
  EXPECT_EQ(done_of(play(board, {"g2g4"})), 0);
  const auto [side, planes, reward, done] = play(board, {"d8h4"});
  EXPECT_EQ(side, kWhite);
  EXPECT_EQ(reward, -1);
  EXPECT_EQ(done, 1);
  EXPECT_THROW(board.step(564), std::invalid_argument);
}

TEST(Step, BlackMatedAndBlackStalemated) {
  Board board;
  board.parse_fen("6k1/5ppp/8/8/8/8/8/4R1K1 w - - 0 1");
  const auto mate = board.step(892);  // the rook from e1 to e8
  EXPECT_EQ(std::get<0>(mate), kBlack);
  EXPECT_EQ(reward_of(mate), 1);
  EXPECT_EQ(done_of(mate), 1);
  board.parse_fen("7k/8/5Q2/8/8/8/8/K7 w - - 0 1");
  const auto stalemate = play(board, {"f6g6"});
  EXPECT_EQ(std::get<0>(stalemate), kBlack);
  EXPECT_EQ(reward_of(stalemate), 0);
  EXPECT_EQ(done_of(stalemate), 1);
}

TEST(Step, ProbesDoNotTouchTheHalfMoveClock) {
  Board board;
  board.reset();
  play(board, {"g1f3", "g8f6"});
  EXPECT_EQ(board.no_progress_count, 2);
}

TEST(Step, ThirdOccurrenceDraws) {
  Board board;
  board.reset();
  const char* moves[] = {"g1f3", "g8f6", "f3g1", "f6g8"};
  for (int i = 0; i < 7; ++i) EXPECT_EQ(done_of(play(board, {moves[i % 4]})), 0) << i;
  const auto draw = play(board, {"f6g8"});
  EXPECT_EQ(done_of(draw), 1);
  EXPECT_EQ(reward_of(draw), 0);
  // Stepping on after the draw: the next three positions reach their third occurrence
  // (each a draw again), then the start position's fourth does not end the game.
  for (int i = 0; i < 3; ++i) EXPECT_EQ(done_of(play(board, {moves[i]})), 1) << i;
  const auto fourth = play(board, {"f6g8"});
  EXPECT_EQ(board.n_repititions, 3);
  EXPECT_EQ(done_of(fourth), 0);
}

TEST(Step, FiftyHalfMoves) {
  Board board;
  board.parse_fen("4k3/8/8/8/8/8/8/R3K3 w - - 0 1");
  board.no_progress_count = 48;
  EXPECT_EQ(done_of(play(board, {"a1a2"})), 0);
  EXPECT_EQ(board.no_progress_count, 49);
  const auto fifty = play(board, {"e8d8"});
  EXPECT_EQ(board.no_progress_count, 50);
  EXPECT_EQ(done_of(fifty), 1);
  EXPECT_EQ(reward_of(fifty), 0);
  EXPECT_EQ(done_of(play(board, {"a2a3"})), 1);  // 51 and on still draw
}

TEST(Step, MateOutranksTheDrawRules) {
  Board board;
  board.parse_fen("6k1/5ppp/8/8/8/8/8/4R1K1 w - - 0 1");
  board.no_progress_count = 49;
  // Make the mated position's record its third occurrence as well.
  Board after = board;
  after.get_actions();
  after.make_move(after.move_index.at(892));
  board.repetition_count[after.hash_state()] = 2;
  const auto mate = board.step(892);
  EXPECT_EQ(board.n_repititions, 2);
  EXPECT_EQ(board.no_progress_count, 50);
  EXPECT_EQ(reward_of(mate), 1);
  EXPECT_EQ(done_of(mate), 1);
}

TEST(Step, CountersWrapAtTheLimitOfAnInt) {
  Board board;
  board.reset();
  board.total_move_count = INT32_MAX;
  board.no_progress_count = INT32_MAX;
  const auto result = play(board, {"g1f3"});
  EXPECT_EQ(board.total_move_count, INT32_MIN);
  EXPECT_EQ(board.no_progress_count, INT32_MIN);
  EXPECT_EQ(std::get<1>(result)[113][0], INT32_MIN);
  EXPECT_EQ(done_of(result), 0);
}

TEST(Step, MissingKingIsNeverInCheck) {
  Board board;
  board.parse_fen("8/8/8/8/8/8/r7/1R6 w - - 0 1");
  const auto result = play(board, {"b1b2"});
  EXPECT_EQ(done_of(result), 0);
  board.parse_fen("8/8/8/8/8/8/r7/7R w - - 0 1");
  const auto taken = play(board, {"h1h2"});  // black's rook must move or be taken
  EXPECT_EQ(done_of(taken), 0);
  board.parse_fen("8/8/8/8/8/8/8/R7 w - - 0 1");
  EXPECT_EQ(reward_of(play(board, {"a1a2"})), 0);  // black has nothing: stalemate
}

TEST(RollOut, FromTheStartEndsWithinTheLimit) {
  Board board;
  for (int game = 0; game < 20; ++game) {
    board.reset();
    const int before = board.total_move_count;
    const int result = board.roll_out();
    const int steps = board.total_move_count - before;
    EXPECT_TRUE(result == -1 || result == 0 || result == 1);
    EXPECT_GE(steps, 1);
    EXPECT_LE(steps, 400);
    EXPECT_EQ(board.just_reset, 0);
    EXPECT_FALSE(board.move_index.empty());  // the actions of the last position played from
    // The newest history entry is the final position.
    const auto newest = board.state_history[(board.state_pos + 7) % 8].to_planes();
    for (int piece = 0; piece < 12; ++piece)
      for (int s = 0; s < 64; ++s) ASSERT_EQ(newest[piece][s], has(board.bitboards[piece], s) ? 1 : 0);
    board.get_actions();
    const bool moves_left = !board.move_index.empty();
    const bool drawn = board.n_repititions == 2 || board.no_progress_count >= 50;
    // An early end is a finished game; a decisive result is a position without moves.
    if (steps < 400) {
      EXPECT_TRUE(!moves_left || drawn);
    }
    if (result != 0) {
      EXPECT_FALSE(moves_left);
    }
  }
}

TEST(RollOut, FinishedGameReturnsAtOnce) {
  Board board;
  board.parse_fen("rnb1kbnr/pppp1ppp/8/4p3/6Pq/5P2/PPPPP2P/RNBQKBNR w KQkq - 1 3");
  board.move_index[564] = 1;  // stale, from some earlier position
  const auto hash = board.hash_state();
  EXPECT_EQ(board.roll_out(), 0);
  EXPECT_TRUE(board.move_index.empty());
  EXPECT_EQ(board.total_move_count, 0);
  EXPECT_EQ(board.hash_state(), hash);
}

TEST(RollOut, OnlyLegalActionIsPlayedFirst) {
  Board board;
  board.parse_fen("k7/8/1K6/8/8/8/8/8 b - - 0 1");
  board.get_actions();
  ASSERT_EQ(board.move_index.size(), 1u);
  Board after = board;
  after.make_move(after.move_index.begin()->second);
  const auto hash = after.hash_state();
  board.roll_out();
  EXPECT_EQ(board.repetition_count.count(hash), 1u);
}

}  // namespace
}  // namespace vantor
