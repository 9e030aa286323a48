// Recorded games replayed on worker threads: each game's start, then its moves, written
// position by position into caller-owned arrays, the rows exactly those a batch of games
// (Batch, side-to-move planes) writes when it plays the same moves from the same start.
#pragma once

#include <cstdint>
#include <span>

#include "batch/batch.h"
#include "engine/rules.h"

namespace vantor::batch {

// How a game's replay went, as the status output holds it.
enum class ReplayStatus : std::int8_t {
  complete = 0,    // every recorded move was played
  ended = 1,       // the rules ended the game before its last recorded move
  illegal = 2,     // a recorded move is not legal where it is played
  bad_start = 3,   // the start has no legal move, or the rules have ended it already
  crowded = 4,     // a position has more legal moves than a row of the listed output holds
};

// The games: game g's actions are actions[offsets[g] .. offsets[g + 1]), and it starts
// from starts[start_index[g]], or the initial position where start_index[g] is -1. The
// offsets ascend from 0 to the number of actions; the caller checks them.
template <class Action>
struct RecordedGames {
  std::span<const Action> actions;
  std::span<const std::int64_t> offsets;
  std::span<const Start> starts;
  std::span<const std::int32_t> start_index;
};

// Row offsets[g] + k holds the position before game g's move k. A null pointer is an
// output nobody wants; with neither rows nor legal the games are only checked and counted.
struct ReplayOutputs {
  std::uint64_t* compact = nullptr;  // kCompactWords words a row
  std::uint64_t* legal = nullptr;    // kPlanes words a row: word p, bit s for action 64 p + s
  std::int32_t* positions = nullptr;  // a game: the rows written that are its positions
  std::int8_t* status = nullptr;      // a game: its ReplayStatus
  std::int8_t* reward = nullptr;      // a game: the reward from white's side of the move that ended it, else 0
  std::int16_t* listed = nullptr;     // listed_width a row: the legal actions ascending, then -1
  int listed_width = 0;
};

// Replays every game on threads threads (the calling thread among them) under rules. A
// game that the rules end early gives its positions up to the move that ended it; one
// with an illegal move gives the positions before that move, and its status says so.
template <class Action>
void replay(const RecordedGames<Action>& games, Rules rules, int threads, const ReplayOutputs& out);

extern template void replay(const RecordedGames<std::int16_t>&, Rules, int, const ReplayOutputs&);
extern template void replay(const RecordedGames<std::int64_t>&, Rules, int, const ReplayOutputs&);

}  // namespace vantor::batch
