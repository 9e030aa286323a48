// Position hash, the history ring, repetition planes and the observation.
#include <gtest/gtest.h>

#include <algorithm>

#include "chess_util.h"
#include "engine/board.h"

namespace vantor {
namespace {

using testing::play;
using testing::plane_of;

bool constant(const Plane& plane, int value) {
  for (int v : plane)
    if (v != value) return false;
  return true;
}

Plane squares(std::initializer_list<int> set) {
  Plane plane(64, 0);
  for (int s : set) plane[s] = 1;
  return plane;
}

Plane range(int first, int last) {
  Plane plane(64, 0);
  for (int s = first; s <= last; ++s) plane[s] = 1;
  return plane;
}

TEST(Hash, PublishedValues) {
  Board board;
  EXPECT_EQ(board.hash_state(), 0x6E57394121878680ULL);  // empty, white, no rights
  board.reset();
  EXPECT_EQ(board.hash_state(), 0x07259D7613375B63ULL);
  play(board, {"e2e4"});
  EXPECT_EQ(board.hash_state(), 0xF629E983B692FEC6ULL);
}

TEST(Hash, BlindToPieceCodesButNotToSideRightsOrEnPassant) {
  Board a, b;
  a.parse_fen("4k3/8/8/8/8/8/8/4K3 w - - 0 1");
  b.parse_fen("4K3/8/8/8/8/8/8/4k3 w - - 0 1");
  EXPECT_EQ(a.hash_state(), b.hash_state());
  b.parse_fen("4k3/8/8/8/8/8/8/4K3 b - - 0 1");
  EXPECT_NE(a.hash_state(), b.hash_state());
  b.parse_fen("4k3/8/8/8/8/8/8/4K3 w K - 0 1");
  EXPECT_NE(a.hash_state(), b.hash_state());
  b.parse_fen("4k3/8/8/8/8/8/8/4K3 w - e3 0 1");
  EXPECT_EQ(a.hash_state() ^ b.hash_state(), bit(e3));
}

TEST(Observation, AfterReset) {
  Board board;
  const auto [side, planes, reward, done] = board.reset();
  EXPECT_EQ(side, kWhite);
  EXPECT_EQ(reward, 0);
  EXPECT_EQ(done, 0);
  EXPECT_EQ(board.state_history.size(), 1u);
  EXPECT_EQ(board.state_pos, 1);
  EXPECT_EQ(plane_of(planes, 0), range(a2, h2));
  EXPECT_EQ(plane_of(planes, 5), squares({e1}));
  EXPECT_EQ(plane_of(planes, 11), squares({e8}));
  EXPECT_EQ(plane_of(planes, 6), range(a7, h7));
  EXPECT_TRUE(constant(plane_of(planes, 12), 0) && constant(plane_of(planes, 13), 0));
  for (int p = 14; p < 112; ++p) EXPECT_TRUE(constant(plane_of(planes, p), 0)) << p;
  EXPECT_TRUE(constant(plane_of(planes, 112), 0));
  EXPECT_TRUE(constant(plane_of(planes, 113), 0));
  for (int p = 114; p < 118; ++p) EXPECT_TRUE(constant(plane_of(planes, p), 1)) << p;
  EXPECT_TRUE(constant(plane_of(planes, 118), 0));
  EXPECT_EQ(board.repetition_count.size(), 1u);
  EXPECT_EQ(board.repetition_count.at(board.hash_state()), 1);
  EXPECT_EQ(board.move_index.size(), 20u);
}

TEST(Observation, BlackSeesTheBoardTurnedAround) {
  Board board;
  board.reset();
  const auto [side, planes, reward, done] = play(board, {"e2e4"});
  EXPECT_EQ(side, kBlack);
  EXPECT_EQ(plane_of(planes, 0), range(48, 55));  // black's pawns, turned from 8..15
  // White's pawns come second; the e4 pawn (36) lands on 63 - 36 = 27, a rotation by
  // 180 degrees rather than a mirror of the ranks.
  Plane white_pawns = range(8, 15);
  white_pawns[63 - e2] = 0;
  white_pawns[63 - e4] = 1;
  EXPECT_EQ(plane_of(planes, 6), white_pawns);
  EXPECT_EQ(plane_of(planes, 5), squares({63 - e8}));
  // Slot 1 is the start position, in the same colour order and turned too.
  EXPECT_EQ(plane_of(planes, 14 + 0), range(48, 55));
  EXPECT_EQ(plane_of(planes, 14 + 6), range(8, 15));
  EXPECT_TRUE(constant(plane_of(planes, 112), 1));
  EXPECT_TRUE(constant(plane_of(planes, 118), 1));
}

TEST(Observation, ResetObservationIsNeverTurned) {
  Board board;
  board.reset();
  board.parse_fen("4k3/8/8/8/8/8/4P3/4K3 b - - 0 1");
  board.record_state();
  const Observation planes = board.build_observation();  // just_reset is still 1
  EXPECT_EQ(plane_of(planes, 0), Plane(64, 0));  // black has no pawns
  EXPECT_EQ(plane_of(planes, 6), squares({e2}));
  EXPECT_EQ(plane_of(planes, 5), squares({e8}));
}

TEST(Observation, HistoryRingFillsThenReplacesTheOldest) {
  Board board;
  const Observation start = std::get<1>(board.reset());
  const char* moves[] = {"g1f3", "g8f6", "b1c3", "b8c6", "e2e3", "e7e6", "d2d3", "d7d6"};
  Observation last;
  for (int i = 0; i < 7; ++i) last = std::get<1>(play(board, {moves[i]}));
  EXPECT_EQ(board.state_history.size(), 8u);
  EXPECT_EQ(board.state_pos, 0);
  // Black to move: slot 7 is the start position in black's colour order, turned.
  for (int k = 0; k < 12; ++k) {
    Plane expected = plane_of(start, (k + 6) % 12);
    std::reverse(expected.begin(), expected.end());
    EXPECT_EQ(plane_of(last, 14 * 7 + k), expected) << k;
  }
  const Observation before = last;
  last = std::get<1>(play(board, {moves[7]}));
  EXPECT_EQ(board.state_history.size(), 8u);
  EXPECT_EQ(board.state_pos, 1);
  // White to move: slot t now shows what slot t - 1 showed one step ago, turned back.
  for (int t = 1; t < 8; ++t)
    for (int k = 0; k < 12; ++k) {
      Plane expected = plane_of(before, 14 * (t - 1) + (k + 6) % 12);
      std::reverse(expected.begin(), expected.end());
      EXPECT_EQ(plane_of(last, 14 * t + k), expected) << t << " " << k;
    }
}

TEST(Observation, RepetitionPlanes) {
  Board board;
  board.reset();
  StepResult result;
  for (int lap = 0; lap < 2; ++lap) result = play(board, {"g1f3", "g8f6", "f3g1", "f6g8"});
  // The start position is recorded for the third time, white to move.
  EXPECT_EQ(board.n_repititions, 2);
  const Observation& planes = std::get<1>(result);
  EXPECT_TRUE(constant(plane_of(planes, 12), 2));
  EXPECT_TRUE(constant(plane_of(planes, 13), 1));  // the position before it, seen twice
  EXPECT_EQ(board.prev_n_repititions, 2);
}

TEST(Observation, CountersAndRightsPlanes) {
  Board board;
  board.total_move_count = 40;
  board.reset();
  const auto planes = std::get<1>(play(board, {"e2e4", "e7e5", "e1e2"}));
  EXPECT_EQ(board.total_move_count, 43);
  EXPECT_TRUE(constant(plane_of(planes, 113), 43));
  EXPECT_TRUE(constant(plane_of(planes, 114), 0) && constant(plane_of(planes, 115), 0));
  EXPECT_TRUE(constant(plane_of(planes, 116), 1) && constant(plane_of(planes, 117), 1));
  EXPECT_TRUE(constant(plane_of(planes, 118), 2));  // the king's step after a pawn move
}

TEST(Observation, OutOfRangeRingPositionReadsNothingOutside) {
  Board board;
  board.reset();
  for (int pos : {-1, 8, 1000, -1000000}) {
    board.state_pos = pos;
    const Observation planes = board.build_observation();
    EXPECT_EQ(planes[kNoProgressPlane][0], board.no_progress_count);
  }
}

TEST(Observation, CountsWrapInsteadOfOverflowing) {
  Board board;
  board.reset();
  board.repetition_count[board.hash_state()] = INT32_MAX;
  board.record_state();
  EXPECT_EQ(board.repetition_count.at(board.hash_state()), INT32_MIN);
  EXPECT_EQ(board.n_repititions, INT32_MAX);
}

// The planes a compact row stands for, expanded as its layout says.
Observation expand(const std::uint64_t* row) {
  std::int32_t values[kCompactValues];
  for (int j = 0; j < kCompactValues / 2; ++j) {
    values[2 * j] = static_cast<std::int32_t>(static_cast<std::uint32_t>(row[kCompactPieceWords + j]));
    values[2 * j + 1] = static_cast<std::int32_t>(static_cast<std::uint32_t>(row[kCompactPieceWords + j] >> 32));
  }
  const bool black = values[kCompactSide] == 1, turned = values[kCompactTurned] == 1;
  Observation planes;
  for (int t = 0; t < kHistoryLength; ++t) {
    for (int k = 0; k < kPieceCodes; ++k) {
      const Bitboard set = row[kPieceCodes * t + (black ? (k + 6) % 12 : k)];
      for (int s = 0; s < kSquares; ++s) planes[14 * t + k][s] = has(set, turned ? 63 - s : s) ? 1 : 0;
    }
    for (int r = 0; r < 2; ++r)
      std::fill_n(planes[14 * t + 12 + r].data(), kSquares, values[kCompactRepetitions + 2 * t + r]);
  }
  for (int p = 0; p < 7; ++p) std::fill_n(planes[kSidePlane + p].data(), kSquares, values[kCompactSide + p]);
  return planes;
}

Observation compact_planes(const Board& board) {
  std::uint64_t row[kCompactWords];
  std::fill_n(row, kCompactWords, ~std::uint64_t{0});  // every word must be written
  board.write_compact(row);
  return expand(row);
}

TEST(Compact, ExpandsToTheObservationThroughAWholeGame) {
  Board board;
  board.total_move_count = 100;
  board.reset();
  EXPECT_EQ(compact_planes(board), board.build_observation());
  // Past the ring's end, with captures, castling and both sides to move.
  const char* moves[] = {"e2e4", "d7d5", "e4d5", "g8f6", "g1f3", "f6d5", "f1c4", "c8g4", "e1g1", "b8c6", "d2d4"};
  for (const char* move : moves) {
    play(board, {move});
    EXPECT_EQ(compact_planes(board), board.build_observation()) << move;
  }
  // A start with black to move is left unturned; counts that wrapped stay negative.
  board.reset();
  board.parse_fen("4k3/8/8/8/8/8/4P3/4K3 b - - 0 1");
  board.record_state();
  board.no_progress_count = INT32_MIN;
  board.total_move_count = -7;
  EXPECT_EQ(compact_planes(board), board.build_observation());
  board.state_pos = -1000;
  EXPECT_EQ(compact_planes(board), board.build_observation());
}

TEST(Compact, HistoryKeptAsPlanesIsNotCompact) {
  Board board;
  board.reset();
  play(board, {"e2e4"});
  EXPECT_TRUE(board.compact_history());
  State snapshot = board.save_state();
  snapshot.state_history[0][kBlackKing][e8] = 3;
  board.restore_state(snapshot);
  EXPECT_FALSE(board.compact_history());
  play(board, {"e7e5", "g1f3", "b8c6", "f1c4", "g8f6", "d2d3", "f8c5"});
  EXPECT_TRUE(board.compact_history());  // the edited entry has left the ring
}

}  // namespace
}  // namespace vantor
