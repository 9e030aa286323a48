// save_state and restore_state.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <stdexcept>

#include "chess_util.h"
#include "engine/board.h"

namespace vantor {
namespace {

using testing::action_of;
using testing::play;
using testing::plane_of;

void expect_transferred_equal(const Board& board, const State& s) {
  EXPECT_EQ(board.bitboards, s.bitboards);
  EXPECT_EQ(board.occupancies, s.occupancies);
  EXPECT_EQ(board.side, s.side);
  EXPECT_EQ(board.enpassant, s.enpassant);
  EXPECT_EQ(board.castle, s.castle);
  EXPECT_EQ(board.history_planes(), s.state_history);
  EXPECT_EQ(board.state_pos, s.state_pos);
  EXPECT_EQ(board.no_progress_count, s.no_progress_count);
  EXPECT_EQ(board.repetition_count, s.repetition_count);
  EXPECT_EQ(board.n_repititions, s.n_repititions);
  EXPECT_EQ(board.prev_n_repititions, s.prev_n_repititions);
  EXPECT_EQ(board.move_index, s.move_index);
}

TEST(Snapshot, SaveThenRestoreChangesNothing) {
  Board board;
  board.reset();
  const StepResult last = play(board, {"e2e4", "c7c5", "g1f3", "d7d6"});
  const State saved = board.save_state();
  EXPECT_EQ(saved.total_move_count, 4);
  const Board before = board;
  const StepResult restored = board.restore_state(saved);
  EXPECT_EQ(restored, (StepResult{std::get<0>(last), std::get<1>(last), 0, 0}));
  expect_transferred_equal(board, before.save_state());
  EXPECT_EQ(board.total_move_count, before.total_move_count);
  EXPECT_EQ(board.just_reset, before.just_reset);
}

TEST(Snapshot, ReplayingAStepDiffersOnlyInTheStepCount) {
  Board board;
  board.reset();
  play(board, {"e2e4", "e7e5"});
  const State saved = board.save_state();
  const int action = action_of(board, "g1f3");
  StepResult first = board.step(action);
  board.restore_state(saved);
  StepResult second = board.step(action);
  EXPECT_EQ(std::get<0>(first), std::get<0>(second));
  EXPECT_EQ(std::get<2>(first), std::get<2>(second));
  EXPECT_EQ(std::get<3>(first), std::get<3>(second));
  Observation& a = std::get<1>(first);
  Observation& b = std::get<1>(second);
  EXPECT_EQ(b[113][0], a[113][0] + 1);
  std::ranges::copy(a[113], b[113].begin());
  EXPECT_EQ(a, b);
}

TEST(Snapshot, FinishedGameRestoresWithoutJudging) {
  Board board;
  board.reset();
  play(board, {"f2f3", "e7e5", "g2g4", "d8h4"});
  const State mated = board.save_state();
  Board other;
  other.reset();
  const auto [side, planes, reward, done] = other.restore_state(mated);
  EXPECT_EQ(side, kWhite);
  EXPECT_EQ(reward, 0);
  EXPECT_EQ(done, 0);
  EXPECT_THROW(other.step(action_of(board, "e2e4")), std::invalid_argument);
  EXPECT_THROW(other.step(0), std::invalid_argument);
}

TEST(Snapshot, RestoredRightAfterResetIsNotTurned) {
  Board board;
  board.reset();
  play(board, {"e2e4"});
  const State black_to_move = board.save_state();
  board.reset();
  const Observation planes = std::get<1>(board.restore_state(black_to_move));
  Plane black_pawns(64, 0);
  for (int s = a7; s <= h7; ++s) black_pawns[s] = 1;
  EXPECT_EQ(plane_of(planes, 0), black_pawns);  // unturned: squares 8..15
  EXPECT_EQ(plane_of(planes, 112), Plane(64, 1));
}

TEST(Snapshot, NewStateIsAnEmptyGame) {
  Board board;
  board.reset();
  play(board, {"e2e4"});
  board.total_move_count = 9;
  const auto [side, planes, reward, done] = board.restore_state(State{});
  EXPECT_EQ(side, kWhite);
  EXPECT_EQ(reward, 0);
  EXPECT_EQ(done, 0);
  for (int p = 0; p < 112; ++p) EXPECT_EQ(plane_of(planes, p), Plane(64, 0)) << p;
  EXPECT_EQ(plane_of(planes, 113), Plane(64, 9));
  EXPECT_EQ(board.occupancies[kBothSides], 0u);
  EXPECT_TRUE(board.state_history.empty());
  EXPECT_TRUE(board.move_index.empty());
  EXPECT_TRUE(board.repetition_count.empty());
  EXPECT_EQ(board.state_pos, 0);
  EXPECT_THROW(board.step(564), std::invalid_argument);
}

TEST(Snapshot, BoardAndStateShareNothing) {
  Board board;
  board.reset();
  State saved = board.save_state();
  const State copy = saved;
  play(board, {"e2e4", "e7e5"});
  board.parse_fen("8/8/8/8/8/8/8/K6k w - - 0 1");
  board.reset();
  EXPECT_EQ(saved.state_history, copy.state_history);
  EXPECT_EQ(saved.move_index, copy.move_index);
  EXPECT_EQ(saved.repetition_count, copy.repetition_count);
  board.restore_state(saved);
  saved.state_history[0][0][0] = 5;
  saved.move_index.clear();
  saved.repetition_count.clear();
  EXPECT_EQ(board.history_planes(), copy.state_history);
  EXPECT_EQ(board.move_index, copy.move_index);
  EXPECT_EQ(board.repetition_count, copy.repetition_count);
}

TEST(Snapshot, MisshapenSnapshotsAreRefusedBeforeAnythingIsCopied) {
  Board board;
  board.reset();
  play(board, {"e2e4"});
  const State good = board.save_state();
  struct Case {
    const char* what;
    void (*spoil)(State&);
  };
  const Case cases[] = {
      {"side must be 0 or 1, got 2", [](State& s) { s.side = 2; }},
      {"state_pos must be in 0..7, got -1", [](State& s) { s.state_pos = -1; }},
      {"state_pos must be in 0..7, got 8", [](State& s) { s.state_pos = 8; }},
      {"state_history entry 1 has 13 planes, expected 14", [](State& s) { s.state_history[1].pop_back(); }},
      {"state_history entry 0 plane 3 has 65 values, expected 64",
       [](State& s) { s.state_history[0][3].push_back(0); }},
  };
  for (const Case& c : cases) {
    State bad = good;
    bad.bitboards.fill(0);
    c.spoil(bad);
    try {
      board.restore_state(bad);
      FAIL() << c.what;
    } catch (const std::invalid_argument& error) {
      EXPECT_STREQ(error.what(), c.what);
    }
    expect_transferred_equal(board, good);
  }
}

TEST(Snapshot, HostileButWellShapedContentsAreSafe) {
  Board board;
  board.reset();
  play(board, {"e2e4", "e7e5"});
  State s = board.save_state();
  s.no_progress_count = INT32_MAX - 1;
  s.n_repititions = INT32_MIN;
  s.prev_n_repititions = INT32_MAX;
  for (auto& [hash, count] : s.repetition_count) count = INT32_MAX;
  s.move_index = {{-5, -1}, {99999, INT32_MAX}, {564, 0}};
  while (s.state_history.size() < 12) s.state_history.push_back(s.state_history.front());
  s.state_pos = 7;
  board.total_move_count = INT32_MAX;
  board.restore_state(s);
  EXPECT_THROW(board.step(99999), std::invalid_argument);
  EXPECT_THROW(board.step(-5), std::invalid_argument);
  board.get_actions();
  EXPECT_EQ(board.move_index.size(), 29u);
  EXPECT_EQ(std::get<3>(play(board, {"g1f3"})), 1);  // the clock is far past fifty
  EXPECT_EQ(board.no_progress_count, INT32_MAX);
  EXPECT_EQ(std::get<3>(play(board, {"b8c6"})), 0);  // and wraps around, defined
  EXPECT_EQ(board.no_progress_count, INT32_MIN);
  EXPECT_EQ(board.state_history.size(), 12u);
  EXPECT_EQ(board.total_move_count, INT32_MIN + 1);  // two steps past INT32_MAX
  board.restore_state(s);
  const int result_of_roll_out = board.roll_out();
  EXPECT_TRUE(result_of_roll_out >= -1 && result_of_roll_out <= 1);
}

// The board keeps a recorded position as its piece sets; planes a snapshot edited by hand
// must still reach the observation, and the next save, value for value.
TEST(Snapshot, EditedHistoryPlanesAreShownAsTheyAre) {
  Board board;
  board.reset();
  play(board, {"e2e4", "e7e5", "g1f3"});
  State s = board.save_state();
  const int newest = (s.state_pos + 7) % 8;
  s.state_history[newest][0][12] = 7;      // a white pawn value that is no 0/1 plane
  s.state_history[newest][13][5] = -3;     // a repetition plane that is not constant
  s.state_history[newest - 1][3][56] = 0;  // no rook on a1: still a 0/1 plane
  const StepResult shown = board.restore_state(s);
  EXPECT_EQ(board.history_planes(), s.state_history);
  EXPECT_EQ(board.save_state().state_history, s.state_history);
  // Black to move sees the board turned: square 12 shows at 63 - 12, white's pawns are
  // the opponent's pieces (plane 6), and the repetition planes keep their places.
  const Observation& obs = std::get<1>(shown);
  EXPECT_EQ(plane_of(obs, 6)[63 - 12], 7);
  EXPECT_EQ(plane_of(obs, 13)[63 - 5], -3);
  EXPECT_EQ(plane_of(obs, 14 + 9)[63 - 56], 0);  // a ply back: the rook taken off a1
  EXPECT_EQ(plane_of(obs, 14 + 9)[63 - 63], 1);  // and the one on h1
  // Eight recorded positions later the edited entries have left the history.
  play(board, {"b8c6", "f1b5", "a7a6", "b5a4", "g8f6", "e1g1", "f8e7", "f1e1"});
  for (const PlaneEntry& entry : board.history_planes()) {
    for (int k = 0; k < 12; ++k)
      for (int v : entry[k]) ASSERT_TRUE(v == 0 || v == 1);
    for (int k = 12; k < 14; ++k)
      for (int v : entry[k]) ASSERT_EQ(v, entry[k][0]);
  }
  EXPECT_TRUE(std::ranges::all_of(board.state_history, [](const HistoryEntry& e) { return e.planes.empty(); }));
}

}  // namespace
}  // namespace vantor
