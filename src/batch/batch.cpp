#include "batch/batch.h"

#include <algorithm>
#include <cstdint>
#include <random>

namespace vantor::batch {

namespace {

constexpr int kObservationValues = kObservationPlanes * kSquares;

// Asks for the cache lines of bytes at p, to be written.
void prefetch(const void* p, std::size_t bytes) {
  const char* c = static_cast<const char*>(p);
  for (std::size_t offset = 0; offset < bytes; offset += 64) __builtin_prefetch(c + offset, 1);
}

std::string illegal_text(int index, std::int64_t action) {
  return "action " + std::to_string(action) + " of game " + std::to_string(index) + " is not legal";
}

}  // namespace

IllegalAction::IllegalAction(int index_, std::int64_t action_)
    : std::invalid_argument(illegal_text(index_, action_)), index(index_), action(action_) {}

GameOver::GameOver(int index_)
    : std::invalid_argument("game " + std::to_string(index_) + " is over: reset it before stepping it"),
      index(index_) {}

Batch::Batch(const Options& options)
    : options_(options),
      games_(static_cast<std::size_t>(options.num_envs)),
      scratch_(static_cast<std::size_t>(std::max(options.threads, 1))),
      pool_(std::max(options.threads, 1)) {
  for (Game& game : games_) {
    game.board.rules = options.rules;
    game.board.set_chess960(options.chess960);
  }
}


void Batch::take_mask(Game& game, const ActionList& legal) {
  game.mask = ActionMask{};
  game.legal.resize(static_cast<std::size_t>(legal.count));
  for (int i = 0; i < legal.count; ++i) {
    game.mask.mark(legal.actions[i]);
    game.legal[static_cast<std::size_t>(i)] = {legal.actions[i], legal.moves[i]};
  }
}

void Batch::index_mask(Game& game, ActionList& scratch) {
  game.board.list_legal(scratch);
  // Whatever a start, roll-out or snapshot left here is stale now; the list is the index.
  game.board.move_index.clear();
  take_mask(game, scratch);
}

const Start* Batch::draw_start(int index) {
  const auto& pool = options_.start_pool;
  if (pool.empty()) return nullptr;
  Game& game = games_[static_cast<std::size_t>(index)];
  // The game's own sequence, as for roll-outs: the same whichever thread starts it.
  const std::uint64_t seed = options_.seed ? *options_.seed : std::uint64_t{std::random_device{}()};
  const std::uint64_t z = mix64(mix64(mix64(seed) ^ static_cast<std::uint64_t>(index)) ^ game.starts_drawn++);
  // The modulo's bias is below pool.size() / 2^64.
  return &pool[static_cast<std::size_t>(z % pool.size())];
}

void Batch::start(int index, const Start* from, ActionList& scratch) {
  Game& game = games_[static_cast<std::size_t>(index)];
  game.start_index = -1;
  if (from == nullptr) {
    from = draw_start(index);
    if (from != nullptr) game.start_index = static_cast<std::int32_t>(from - options_.start_pool.data());
  }
  game.board.start_from(from == nullptr ? std::string_view(kStartFen) : std::string_view(from->fen));
  if (from != nullptr) game.board.no_progress_count = from->halfmove_clock;
  if (options_.planes == Planes::side_to_move) game.board.just_reset = 0;
  index_mask(game, scratch);
  game.plies = 0;
  game.fullmove_number = from == nullptr ? 1 : from->fullmove_number;
  game.finished = false;
  game.ending = 0;
}

bool Batch::legal(const Game& game, std::int64_t action) const {
  return action >= 0 && action < kActions && game.mask[static_cast<int>(action / kSquares)][action % kSquares];
}

void Batch::write_row(int row, const Game& game, const Outputs& out) const {
  const auto r = static_cast<std::size_t>(row);
  if (out.observations) game.board.write_observation(out.observations + r * kObservationValues);
  if (out.observations_float) game.board.write_observation(out.observations_float + r * kObservationValues);
  if (out.compact) game.board.write_compact(out.compact + r * kCompactWords);
  if (out.side) out.side[r] = static_cast<std::int8_t>(game.board.side);
  if (out.ending) out.ending[r] = game.ending;
  if (out.action_mask) {
    bool* mask = out.action_mask + r * kActions;
    for (int plane = 0; plane < kPlanes; ++plane) write_set(game.mask[plane].sources, mask + kSquares * plane);
  }
}

void Batch::reset(std::span<const int> indices, std::span<const Start> starts, const Outputs& out) {
  auto body = [&](int k, int thread) {
    start(indices[k], starts.empty() ? nullptr : &starts[static_cast<std::size_t>(k)], scratch_[thread].list);
    write_row(k, games_[static_cast<std::size_t>(indices[k])], out);
    if (out.rewards) out.rewards[k] = 0;
    if (out.terminated) out.terminated[k] = false;
    if (out.truncated) out.truncated[k] = false;
    if (out.illegal) out.illegal[k] = false;
  };
  pool_.for_each(static_cast<int>(indices.size()), body);
}

void Batch::step(std::span<const std::int64_t> actions, const Outputs& out) {
  // Refusals are looked for first, in game order. The records have left the cache since
  // the last step, so the two lines each test reads are fetched a few games ahead: the
  // misses overlap instead of queueing on this one thread while the workers wait.
  static_assert(sizeof(ActionMask) == kPlanes * sizeof(Bitboard), "a mask row's address is computed");
  constexpr int kAhead = 8;
  for (int i = 0; i < size(); ++i) {
    if (i + kAhead < size()) {
      const Game& ahead = games_[static_cast<std::size_t>(i + kAhead)];
      const std::int64_t action = actions[static_cast<std::size_t>(i + kAhead)];
      __builtin_prefetch(&ahead.finished);
      if (action >= 0 && action < kActions)
        __builtin_prefetch(reinterpret_cast<const char*>(&ahead.mask) + action / kSquares * sizeof(Bitboard));
    }
    refuse(i, actions[i]);
  }
  auto body = [&](int i, int thread) {
    // With many games a game's state has left the cache since its turn came last: fetch
    // the next game's history and the one after's record while this one plays. The
    // history's address is read from a record fetched one turn before. Only games of this
    // thread's share: another thread may be changing its own.
    const int end = pool_.share_end(size(), thread);
    if (i + 2 < end) prefetch(&games_[static_cast<std::size_t>(i + 2)], sizeof(Game));
    if (i + 1 < end) {
      const Game& next = games_[static_cast<std::size_t>(i + 1)];
      prefetch(next.board.state_history.data(), next.board.state_history.size() * sizeof(HistoryEntry));
      prefetch(next.legal.data(), next.legal.size() * sizeof(LegalMove));
    }
    step_one(i, actions[i], i, out, scratch_[thread].list);
  };
  pool_.for_each(size(), body);
}

void Batch::step(std::span<const int> indices, std::span<const std::int64_t> actions, const Outputs& out) {
  for (std::size_t k = 0; k < indices.size(); ++k) refuse(indices[k], actions[k]);
  auto body = [&](int k, int thread) {
    const auto at = static_cast<std::size_t>(k);
    step_one(indices[at], actions[at], k, out, scratch_[thread].list);
  };
  pool_.for_each(static_cast<int>(indices.size()), body);
}

void Batch::refuse(int index, std::int64_t action) const {
  const Game& game = games_[static_cast<std::size_t>(index)];
  if (game.finished) {
    if (options_.autoreset == Autoreset::disabled) throw GameOver(index);
  } else if (options_.illegal == Illegal::raise && !legal(game, action)) {
    throw IllegalAction(index, action);
  }
}

void Batch::step_one(int index, std::int64_t action, int row, const Outputs& out, ActionList& scratch) {
  Game& game = games_[static_cast<std::size_t>(index)];
  int reward = 0;
  bool terminated = false, truncated = false, illegal = false;
  if (game.finished) {
    // Next-step autoreset: this step starts the new game and its action is ignored.
    start(index, nullptr, scratch);
  } else if (!legal(game, action)) {
    // The side that tried it loses; the position stays as it was, but for what a refused
    // step changes on a Board too.
    game.board.just_reset = 0;
    reward = game.board.side == kWhite ? -1 : 1;
    terminated = illegal = game.finished = true;
    game.ending = kEndedByIllegalAction;
  } else {
    // legal() found the action in the mask, so the list holds it.
    const auto found = std::find_if(game.legal.begin(), game.legal.end(),
                                    [action](const LegalMove& m) { return m.action == action; });
    const Outcome outcome = game.board.play_listed(found->move, scratch);
    take_mask(game, scratch);
    ++game.plies;
    // FEN text is read with full-move numbers up to 2**31 - 1: the count stops there, so
    // that every FEN written of the game reads back.
    if (game.board.side == kWhite && game.fullmove_number < INT32_MAX) ++game.fullmove_number;
    reward = outcome.reward;
    terminated = outcome.over();
    truncated = !terminated && options_.max_plies > 0 && game.plies >= options_.max_plies;
    game.finished = terminated || truncated;
    game.ending = truncated ? kEndedByMaxPlies : static_cast<std::int8_t>(outcome.ending);
  }
  write_row(row, game, out);
  if (out.rewards) out.rewards[row] = static_cast<std::int8_t>(reward);
  if (out.terminated) out.terminated[row] = terminated;
  if (out.truncated) out.truncated[row] = truncated;
  if (out.illegal) out.illegal[row] = illegal;
}

void Batch::roll_out(std::span<const int> indices, std::int8_t* rewards) {
  auto body = [&](int k, int thread) {
    Game& game = games_[static_cast<std::size_t>(indices[k])];
    std::mt19937 engine;
    if (options_.seed) {
      // The game's own sequence: the same whichever thread plays it.
      const std::uint64_t seed = *options_.seed;
      std::seed_seq sequence{static_cast<std::uint32_t>(seed), static_cast<std::uint32_t>(seed >> 32),
                             static_cast<std::uint32_t>(indices[k]), static_cast<std::uint32_t>(game.roll_outs),
                             static_cast<std::uint32_t>(game.roll_outs >> 32)};
      engine.seed(sequence);
    } else {
      engine.seed(std::random_device{}());
    }
    ++game.roll_outs;
    rewards[k] = static_cast<std::int8_t>(game.board.roll_out(engine));
    ActionList& scratch = scratch_[thread].list;
    index_mask(game, scratch);
    game.ending = static_cast<std::int8_t>(game.board.outcome(scratch.count > 0).ending);
    game.finished = game.ending != 0;
  };
  pool_.for_each(static_cast<int>(indices.size()), body);
}

int Batch::legal_actions(int index, std::int64_t* out) const {
  const ActionMask& mask = game(index).mask;
  int count = 0;
  for (int plane = 0; plane < kPlanes; ++plane)
    for (Bitboard sources = mask[plane].sources; sources;) out[count++] = kSquares * plane + pop_lowest(sources);
  return count;
}

State Batch::save_state(int index) const {
  State snapshot = game(index).board.save_state();
  for (const LegalMove& m : game(index).legal) snapshot.move_index.emplace(m.action, m.move);
  return snapshot;
}

void Batch::restore_state(int index, State snapshot, const Outputs& out) {
  Game& game = games_[static_cast<std::size_t>(index)];
  check_one_position(snapshot);
  check_counted_under(snapshot, options_.rules);
  if (!options_.chess960) check_standard_castling(snapshot);
  if (out.compact) {
    // Restored on a copy first, which checks the snapshot whole: a refusal changes nothing.
    Board board = game.board;
    board.restore_state(std::move(snapshot));
    if (!board.compact_history()) throw std::invalid_argument(kNotCompact);
    game.board = std::move(board);
  } else {
    game.board.restore_state(std::move(snapshot));
  }
  if (options_.planes == Planes::side_to_move) game.board.just_reset = 0;
  index_mask(game, scratch_[0].list);
  game.plies = 0;
  game.fullmove_number = 1;
  game.start_index = -1;
  // A snapshot of a game that ended (a mate, a stalemate, a draw of the rules) is an ended
  // game: an autoreset starts the next one, and a step without autoreset is refused.
  game.ending = static_cast<std::int8_t>(game.board.outcome(!game.legal.empty()).ending);
  game.finished = game.ending != 0;
  write_row(0, game, out);
}

bool Batch::finish_if_over(int index) {
  Game& game = games_[static_cast<std::size_t>(index)];
  if (!game.finished) {
    game.ending = static_cast<std::int8_t>(game.board.outcome(!game.legal.empty()).ending);
    game.finished = game.ending != 0;
  }
  return game.finished;
}

void Batch::hash_state(std::uint64_t* out) const {
  for (std::size_t i = 0; i < games_.size(); ++i) out[i] = games_[i].board.hash_state();
}

void Batch::reseed(std::optional<std::uint64_t> seed) {
  options_.seed = seed;
  for (Game& game : games_) game.roll_outs = game.starts_drawn = 0;
}

}  // namespace vantor::batch
