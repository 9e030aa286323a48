#include "batch/replay.h"

#include <algorithm>
#include <string_view>
#include <vector>

#include "engine/board.h"

namespace vantor::batch {

namespace {

// A thread's board and move list, reused game after game so that a replay allocates only
// what the board's own records need; on cache lines of their own.
struct alignas(64) Replayer {
  Board board;
  ActionList legal;
};

void write_legal(const ActionList& legal, std::uint64_t* out) {
  std::fill_n(out, kPlanes, std::uint64_t{0});
  for (int i = 0; i < legal.count; ++i) out[legal.actions[i] / kSquares] |= bit(legal.actions[i] % kSquares);
}

// The legal actions ascending, -1 after them; false when they do not fit in width.
bool write_listed(const ActionList& legal, int width, std::int16_t* out) {
  if (legal.count > width) return false;
  for (int i = 0; i < legal.count; ++i) out[i] = static_cast<std::int16_t>(legal.actions[i]);
  std::sort(out, out + legal.count);
  std::fill(out + legal.count, out + width, std::int16_t{-1});
  return true;
}

// The move word of a legal action, or -1 when the action is not among the legal ones.
int move_of(const ActionList& legal, std::int64_t action) {
  for (int i = 0; i < legal.count; ++i)
    if (legal.actions[i] == action) return legal.moves[i];
  return -1;
}

// Starts the board as Batch starts a game with side-to-move planes, its step count from 0
// as a new batch's is; false when the start cannot be played.
bool start(Replayer& r, const Start* from, Rules rules) {
  Board& board = r.board;
  board.rules = rules;
  board.start_from(from == nullptr ? std::string_view(kStartFen) : std::string_view(from->fen));
  board.no_progress_count = from == nullptr ? 0 : from->halfmove_clock;
  board.just_reset = 0;
  board.total_move_count = 0;
  board.list_legal(r.legal);
  const bool clock_fits = board.no_progress_count >= 0 && board.no_progress_count < halfmove_limit(rules);
  return clock_fits && r.legal.count > 0 && !board.outcome(true).over();
}

template <class Action>
ReplayStatus replay_one(Replayer& r, const RecordedGames<Action>& games, std::size_t g, Rules rules,
                        const ReplayOutputs& out, std::int32_t& positions, std::int8_t& reward) {
  positions = 0;
  reward = 0;
  const std::int32_t index = games.start_index[g];
  if (!start(r, index < 0 ? nullptr : &games.starts[static_cast<std::size_t>(index)], rules))
    return ReplayStatus::bad_start;
  const auto first = static_cast<std::size_t>(games.offsets[g]);
  const auto count = static_cast<std::size_t>(games.offsets[g + 1]) - first;
  for (std::size_t ply = 0; ply < count; ++ply) {
    const std::size_t row = first + ply;
    if (out.compact) r.board.write_compact(out.compact + row * kCompactWords);
    if (out.legal) write_legal(r.legal, out.legal + row * kPlanes);
    const auto width = static_cast<std::size_t>(out.listed_width);
    if (out.listed && !write_listed(r.legal, out.listed_width, out.listed + row * width)) return ReplayStatus::crowded;
    const int move = move_of(r.legal, static_cast<std::int64_t>(games.actions[row]));
    if (move < 0) return ReplayStatus::illegal;
    positions = static_cast<std::int32_t>(ply + 1);
    const Outcome outcome = r.board.play_listed(move, r.legal);
    reward = static_cast<std::int8_t>(outcome.reward);
    if (outcome.over() && ply + 1 < count) return ReplayStatus::ended;
  }
  return ReplayStatus::complete;
}

}  // namespace

template <class Action>
void replay(const RecordedGames<Action>& games, Rules rules, int threads, const ReplayOutputs& out) {
  const int count = static_cast<int>(games.start_index.size());
  threads = std::clamp(threads, 1, std::max(count, 1));
  std::vector<Replayer> replayers(static_cast<std::size_t>(threads));
  WorkerPool pool(threads);
  auto body = [&](int g, int thread) {
    std::int32_t positions = 0;
    std::int8_t reward = 0;
    const auto game = static_cast<std::size_t>(g);
    const ReplayStatus status = replay_one(replayers[static_cast<std::size_t>(thread)], games, game, rules, out,
                                           positions, reward);
    if (out.positions) out.positions[game] = positions;
    if (out.reward) out.reward[game] = reward;
    if (out.status) out.status[game] = static_cast<std::int8_t>(status);
  };
  pool.for_each(count, body);
}

template void replay(const RecordedGames<std::int16_t>&, Rules, int, const ReplayOutputs&);
template void replay(const RecordedGames<std::int64_t>&, Rules, int, const ReplayOutputs&);

}  // namespace vantor::batch
