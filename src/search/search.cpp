#include "search/search.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <utility>

namespace vantor::search {

namespace {

constexpr std::size_t kObservationValues = std::size_t{kObservationPlanes} * kSquares;

// A game's generator for one run: the same whichever thread serves the game.
std::mt19937 game_random(const Options& options, int index, std::uint64_t run) {
  if (!options.seed) return std::mt19937(std::random_device{}());
  const std::uint64_t seed = *options.seed;
  std::seed_seq sequence{static_cast<std::uint32_t>(seed), static_cast<std::uint32_t>(seed >> 32),
                         static_cast<std::uint32_t>(index), static_cast<std::uint32_t>(run),
                         static_cast<std::uint32_t>(run >> 32)};
  return std::mt19937(sequence);
}

// A node's children come in ascending action order, whatever order the generator used.
void sorted_legal(const ActionList& legal, std::vector<std::int32_t>& actions, std::vector<std::int32_t>& moves) {
  std::vector<std::pair<std::int32_t, std::int32_t>> pairs(static_cast<std::size_t>(legal.count));
  for (int i = 0; i < legal.count; ++i) pairs[static_cast<std::size_t>(i)] = {legal.actions[i], legal.moves[i]};
  std::sort(pairs.begin(), pairs.end());
  actions.clear();
  moves.clear();
  for (const auto& [action, move] : pairs) {
    actions.push_back(action);
    moves.push_back(move);
  }
}

// The side to move's view of a result given from white's side.
double for_mover(int white_reward, int side) { return side == kWhite ? white_reward : -white_reward; }

// Among the ends of judge_moves: a move after which the game goes on, and one after which
// the other side mates at once.
constexpr std::int8_t kGoesOn = 2;
constexpr std::int8_t kMatedNext = 3;
// A position with this many moves or fewer (a check's evasions, mostly) has each move tried
// for a mate in one in reply: a forced line is then proven at the first visit of the move
// that forces it, where a roll-out's chance result could keep the search from it for good.
constexpr std::size_t kFewMoves = 4;

// White's reward for each move (in order) that ends the game at once, kMatedNext for one
// that allows a mate in one when there are few moves, kGoesOn for the others, judged on
// board, the position they are played from (left as it was).
void judge_moves(Board& board, const std::vector<std::int32_t>& moves, std::vector<std::int8_t>& ends) {
  ends.resize(moves.size());
  for (std::size_t i = 0; i < moves.size(); ++i) {
    const auto [reward, over] = board.judge_after(moves[i]);
    ends[i] = over ? static_cast<std::int8_t>(reward) : kGoesOn;
    if (!over && moves.size() <= kFewMoves && board.mate_in_one_after(moves[i])) ends[i] = kMatedNext;
  }
}

// The visits a child weighs with when actions are drawn: none for a child left out.
template <class Allowed>
std::int32_t weight_of(const Node& node, const Allowed& allowed) {
  return allowed(node) ? node.visits : 0;
}

// Draws an allowed child with probability visits ** (1 / temperature) over the sum. The
// weights are taken in log space as (visits / most) ** (1 / temperature), at most 1, so no
// power overflows at any temperature above 0; a child without visits weighs 0 and is never
// drawn. Returns count + first when no allowed child has visits.
template <class Allowed>
std::size_t draw_by_visits(const std::vector<Node>& nodes, std::size_t first, std::size_t count, double temperature,
                           std::mt19937& random, const Allowed& allowed) {
  std::int32_t most = 0;
  for (std::size_t i = first; i < first + count; ++i) most = std::max(most, weight_of(nodes[i], allowed));
  if (most == 0) return first + count;
  const double log_most = std::log(static_cast<double>(most));
  std::vector<double> cumulative(count);
  double sum = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const std::int32_t visits = weight_of(nodes[first + i], allowed);
    if (visits > 0) sum += std::exp((std::log(static_cast<double>(visits)) - log_most) / temperature);
    cumulative[i] = sum;
  }
  // The first child whose running sum passes the draw: one that adds no weight never is.
  const double draw = std::generate_canonical<double, std::numeric_limits<double>::digits>(random) * sum;
  for (std::size_t i = 0; i < count; ++i)
    if (draw < cumulative[i]) return first + i;
  // A draw rounded up to the sum itself belongs to the last child with weight.
  std::size_t last = first;
  for (std::size_t i = first; i < first + count; ++i)
    if (weight_of(nodes[i], allowed) > 0) last = i;
  return last;
}

// The better of two children by visits, then prior; the earlier (lower action) on a tie.
bool more_visited(const Node& child, const Node& top) {
  return child.visits > top.visits || (child.visits == top.visits && child.prior > top.prior);
}

}  // namespace

Search::Search(const Options& options)
    : options_(options),
      games_(static_cast<std::size_t>(options.num_games)),
      scratch_(static_cast<std::size_t>(std::max(options.threads, 1))),
      pool_(std::max(options.threads, 1)) {
  // Without a simulation a fresh root is never evaluated and has no visits to choose by.
  if (options.simulations < 1) throw std::invalid_argument("a search needs at least 1 simulation");
}

void Search::require_turn(const char* call) const {
  if (awaiting_)
    throw OutOfTurn(std::string(call) + " called while the leaves of the last select wait for the evaluator");
}

void Search::start_tree(Game& game) {
  game.nodes.clear();
  game.nodes.emplace_back();
  game.nodes[0].hash = game.root.position_key();
}

namespace {

// Gives a Chess960 root the castling rooks its game named, where a rook of the right side
// stands on each of them; otherwise the rooks restore_state inferred stay.
void adopt_castling_rooks(Board& board, const std::array<std::int8_t, 4>& rooks) {
  for (int right = 0; right < 4; ++right) {
    const int who = right / 2, square = rooks[static_cast<std::size_t>(right)];
    if (!((board.castle >> right) & 1)) continue;
    if (square < 0 || square >= 64 || row_of(square) != back_row(who) ||
        !((board.bitboards[static_cast<std::size_t>(piece_of(who, 3))] >> square) & 1))
      return;
  }
  board.set_castling_rooks(board.castle, rooks);
}

}  // namespace

void Search::set_roots(std::span<const State> roots, std::span<const std::array<std::int8_t, 4>> rooks) {
  require_turn("set_roots");
  // Every snapshot is checked (by restoring it) before any game changes.
  std::vector<Board> boards(roots.size());
  for (std::size_t g = 0; g < roots.size(); ++g) {
    check_one_position(roots[g]);
    check_counted_under(roots[g], options_.rules);
    if (!options_.chess960) check_standard_castling(roots[g]);
    boards[g].rules = options_.rules;
    // A snapshot carries castling rights alone; a Chess960 board finds their rooks.
    boards[g].set_chess960(options_.chess960);
    boards[g].restore_state(roots[g]);
    if (options_.chess960 && g < rooks.size()) adopt_castling_rooks(boards[g], rooks[g]);
    // A State carries the game's step count; the leaves' observations go on from it.
    boards[g].total_move_count = roots[g].total_move_count;
    if (options_.compact && !boards[g].compact_history())
      throw std::invalid_argument("root " + std::to_string(g) + ": " + kNotCompact);
  }
  for (std::size_t g = 0; g < games_.size(); ++g) {
    Game& game = games_[g];
    game.root = std::move(boards[g]);
    const bool reuse = game.kept && !game.nodes.empty() && game.nodes[0].hash == game.root.position_key();
    if (!reuse) start_tree(game);
    game.kept = false;
    game.work = game.root;
    game.random = game_random(options_, static_cast<int>(g), game.runs++);
    game.done = 0;
    game.full = false;
    game.leaves.clear();
    game.played.clear();
    ActionList& legal = scratch_[0];
    game.work.list_legal(legal);
    const auto [reward, over] = game.work.judge(legal.count > 0);
    game.root_over = over != 0;
    game.root_reward = reward;
    if (game.nodes[0].state == kExpanded) add_noise(game);
  }
}

int Search::pending_rows() const {
  int rows = 0;
  for (const Game& game : games_) rows += static_cast<int>(game.leaves.size());
  return rows;
}

bool Search::wants_more(const Game& game) const {
  return !game.root_over && !game.full &&
         game.done + static_cast<int>(game.leaves.size()) < options_.simulations;
}

int Search::select(float* observations, bool* masks, std::uint64_t* compact) {
  require_turn("select");
  const Rows out{options_.compact ? nullptr : observations, options_.compact ? compact : nullptr, masks};
  auto body = [&](int g, int thread) {
    Game& game = games_[static_cast<std::size_t>(g)];
    game.leaves.clear();
    ActionList& legal = scratch_[static_cast<std::size_t>(thread)];
    while (wants_more(game) && static_cast<int>(game.leaves.size()) < options_.leaves_per_game) {
      if (!descend(game, g, out, legal)) break;
    }
  };
  pool_.for_each(num_games(), body);
  // Rows were written to each game's own slots; they are moved up to follow each other.
  int rows = 0;
  const auto width = static_cast<std::size_t>(kActions);
  for (int g = 0; g < num_games(); ++g) {
    Game& game = games_[static_cast<std::size_t>(g)];
    for (std::size_t j = 0; j < game.leaves.size(); ++j) {
      const auto slot = static_cast<std::size_t>(g * options_.leaves_per_game) + j;
      const auto row = static_cast<std::size_t>(rows);
      if (slot != row) {
        if (out.observations)
          std::memmove(observations + row * kObservationValues, observations + slot * kObservationValues,
                       sizeof(float) * kObservationValues);
        if (out.compact)
          std::memmove(compact + row * kCompactWords, compact + slot * kCompactWords,
                       sizeof(std::uint64_t) * kCompactWords);
        std::memmove(masks + row * width, masks + slot * width, width);
      }
      game.leaves[j].row = rows++;
    }
  }
  awaiting_ = rows > 0;
  return rows;
}

bool Search::descend(Game& game, int index, const Rows& rows, ActionList& legal) {
  Node& root = game.nodes[0];
  if (root.state == kPending) return false;
  if (root.state == kNew) {
    // A fresh tree's root is evaluated first; that is not a simulation.
    game.work.list_legal(legal);
    if (options_.roll_out_values) {
      if (!expand_listed(game, 0, legal)) return false;
      prove_listed(game, 0, {});
      return true;
    }
    root.state = kPending;
    write_leaf(game, index, {}, rows, legal);
    return false;
  }
  std::vector<std::int32_t>& path = game.path;
  path.clear();
  int node = 0;
  for (;;) {
    const int child = choose_child(game, node);
    path.push_back(child);
    play(game, child);
    const Node& reached = game.nodes[static_cast<std::size_t>(child)];
    if (reached.proof != kUnproven) {
      // A proven position's value is exact: it is backed up, never searched again.
      back_up(game, path, reached.proof, false);
      ++game.done;
      restore_work(game);
      return true;
    }
    const std::uint8_t state = reached.state;
    if (state == kExpanded) {
      node = child;
      continue;
    }
    if (state == kPending) {
      // Another descent of this round waits at this leaf already.
      restore_work(game);
      return false;
    }
    if (state == kTerminal) {
      back_up(game, path, game.nodes[static_cast<std::size_t>(child)].terminal_value, false);
      ++game.done;
      restore_work(game);
      return true;
    }
    return reach_new(game, index, path, rows, legal);
  }
}

bool Search::reach_new(Game& game, int index, std::vector<std::int32_t>& path, const Rows& rows,
                       ActionList& legal) {
  const auto leaf = static_cast<std::size_t>(path.back());
  game.nodes[leaf].hash = game.work.position_key();
  game.work.list_legal(legal);
  const auto [reward, over] = game.work.judge(legal.count > 0);
  if (over) {
    Node& node = game.nodes[leaf];
    node.state = kTerminal;
    node.terminal_value = static_cast<float>(for_mover(reward, game.work.side));
    node.proof = node.terminal_value > 0 ? kWon : node.terminal_value < 0 ? kLost : kDrawn;
    node.proof_plies = 0;
    back_up(game, path, node.terminal_value, false);
    propagate(game, path);
    ++game.done;
    restore_work(game);
    return true;
  }
  if (options_.roll_out_values) {
    double value = 0;
    if (expand_listed(game, static_cast<int>(leaf), legal)) prove_listed(game, static_cast<int>(leaf), path);
    if (game.nodes[leaf].proof != kUnproven) {
      // A leaf its children prove is worth its proof, not a roll-out's guess.
      value = game.nodes[leaf].proof;
    } else {
      // The roll-out plays on a copy: the descent's own board must be set back exactly.
      Board copy = game.work;
      value = for_mover(copy.roll_out(game.random), game.work.side);
    }
    back_up(game, path, value, false);
    ++game.done;
    restore_work(game);
    return !game.full;
  }
  game.nodes[leaf].state = kPending;
  if (options_.leaves_per_game > 1) {
    // A virtual loss on the way down steers the round's next descents elsewhere.
    for (const std::int32_t n : path) {
      game.nodes[static_cast<std::size_t>(n)].visits += 1;
      game.nodes[static_cast<std::size_t>(n)].value_sum -= 1;
    }
  }
  write_leaf(game, index, path, rows, legal);
  restore_work(game);
  return true;
}

int Search::choose_child(const Game& game, int node) const {
  const Node& parent = game.nodes[static_cast<std::size_t>(node)];
  // Only a proven root is descended from (a descent stops at any other proven node): its
  // simulations go to the move that realises the proof, but a won root that has no mate
  // at once yet searches its unproven moves for a faster win (a proven move, its proof
  // whatever it is, can tell nothing more), and goes to the proven move once none is left.
  std::size_t proven = 0;
  bool unproven_only = false;
  if (parent.proof != kUnproven) {
    proven = proven_child(game, node);
    if (parent.proof != kWon || game.nodes[proven].proof_plies == 0) return static_cast<int>(proven);
    unproven_only = true;
  }
  const auto first = static_cast<std::size_t>(parent.first_child);
  const auto count = static_cast<std::size_t>(parent.child_count);
  std::int64_t total = 0;
  for (std::size_t i = first; i < first + count; ++i) total += game.nodes[i].visits;
  const double root_of_total = std::sqrt(static_cast<double>(std::max<std::int64_t>(1, total)));
  std::size_t best = first + count;
  double best_score = -INFINITY;
  for (std::size_t i = first; i < first + count; ++i) {
    const Node& child = game.nodes[i];
    // A move into a won position loses; an unproven node always has another move.
    if (child.proof == kWon || (unproven_only && child.proof != kUnproven)) continue;
    const double q = child.proof != kUnproven ? -static_cast<double>(child.proof)
                     : child.visits > 0       ? child.value_sum / child.visits
                                              : options_.fpu;
    const double u = options_.c_puct * child.prior * root_of_total / (1 + child.visits);
    if (best == first + count || q + u > best_score) {
      best_score = q + u;
      best = i;
    }
  }
  if (best == first + count) return static_cast<int>(unproven_only ? proven : first);
  return static_cast<int>(best);
}

std::size_t Search::proven_child(const Game& game, int node) const {
  const Node& parent = game.nodes[static_cast<std::size_t>(node)];
  const auto first = static_cast<std::size_t>(parent.first_child);
  const auto count = static_cast<std::size_t>(parent.child_count);
  // The children's proofs realising the parent's: a lost child wins, a drawn one draws.
  const int wanted = -parent.proof;
  std::size_t best = first + count;
  for (std::size_t i = first; i < first + count; ++i) {
    const Node& child = game.nodes[i];
    if (child.proof != wanted) continue;
    if (best == first + count) {
      best = i;
      continue;
    }
    const Node& top = game.nodes[best];
    if (child.proof_plies != top.proof_plies) {
      // Win fast, lose slowly.
      if ((parent.proof == kWon) == (child.proof_plies < top.proof_plies)) best = i;
    } else if (more_visited(child, top)) {
      best = i;
    }
  }
  return best == first + count ? first : best;
}

bool Search::settle(Game& game, int node) {
  Node& parent = game.nodes[static_cast<std::size_t>(node)];
  if (parent.state != kExpanded) return false;
  const auto first = static_cast<std::size_t>(parent.first_child);
  const auto count = static_cast<std::size_t>(parent.child_count);
  if (parent.proof == kWon) {
    // A won root searched on for a faster win: one found shortens its proof, which
    // decides nothing above it.
    for (std::size_t i = first; i < first + count; ++i) {
      const Node& child = game.nodes[i];
      if (child.proof == kLost && child.proof_plies + 1 < parent.proof_plies)
        parent.proof_plies = static_cast<std::int16_t>(child.proof_plies + 1);
    }
    return false;
  }
  if (parent.proof != kUnproven) return false;
  bool all = true, drawn = false;
  int fastest_win = std::numeric_limits<int>::max(), slowest_loss = 0, shortest_draw = std::numeric_limits<int>::max();
  for (std::size_t i = first; i < first + count; ++i) {
    const Node& child = game.nodes[i];
    if (child.proof == kLost) {
      fastest_win = std::min<int>(fastest_win, child.proof_plies);
    } else if (child.proof == kDrawn) {
      drawn = true;
      shortest_draw = std::min<int>(shortest_draw, child.proof_plies);
    } else if (child.proof == kWon) {
      slowest_loss = std::max<int>(slowest_loss, child.proof_plies);
    } else {
      all = false;
    }
  }
  if (fastest_win != std::numeric_limits<int>::max()) {
    parent.proof = kWon;
    parent.proof_plies = static_cast<std::int16_t>(std::min(fastest_win + 1, INT16_MAX + 0));
  } else if (!all) {
    return false;
  } else if (drawn) {
    parent.proof = kDrawn;
    parent.proof_plies = static_cast<std::int16_t>(std::min(shortest_draw + 1, INT16_MAX + 0));
  } else {
    parent.proof = kLost;
    parent.proof_plies = static_cast<std::int16_t>(std::min(slowest_loss + 1, INT16_MAX + 0));
  }
  return true;
}

void Search::propagate(Game& game, const std::vector<std::int32_t>& path) {
  // path[i]'s parent is path[i - 1], and the root's children hang from node 0.
  for (auto i = path.size(); i-- > 0;) {
    if (!settle(game, i > 0 ? path[i - 1] : 0)) return;
  }
}

void Search::play(Game& game, int node) {
  game.work.play(game.nodes[static_cast<std::size_t>(node)].move);
  game.played.push_back(game.work.repetition_key());
}

void Search::restore_work(Game& game) {
  Board& work = game.work;
  const Board& root = game.root;
  work.bitboards = root.bitboards;
  work.occupancies = root.occupancies;
  work.side = root.side;
  work.castle = root.castle;
  work.castling = root.castling;
  work.enpassant = root.enpassant;
  work.total_move_count = root.total_move_count;
  work.state_pos = root.state_pos;
  work.no_progress_count = root.no_progress_count;
  work.just_reset = root.just_reset;
  work.n_repititions = root.n_repititions;
  work.prev_n_repititions = root.prev_n_repititions;
  work.state_history = root.state_history;
  // Only the positions recorded on the way down changed the counts.
  for (const std::uint64_t hash : game.played) {
    const auto found = root.repetition_count.find(hash);
    if (found == root.repetition_count.end()) {
      work.repetition_count.erase(hash);
    } else {
      work.repetition_count[hash] = found->second;
    }
  }
  game.played.clear();
}

void Search::prove_listed(Game& game, int node, const std::vector<std::int32_t>& path) {
  const Node& parent = game.nodes[static_cast<std::size_t>(node)];
  const auto first = static_cast<std::size_t>(parent.first_child);
  game.path_moves.clear();
  for (std::size_t i = first; i < first + static_cast<std::size_t>(parent.child_count); ++i)
    game.path_moves.push_back(game.nodes[i].move);
  judge_moves(game.work, game.path_moves, game.ends);
  prove_children(game, node, game.ends, game.work.side, path);
}

void Search::prove_children(Game& game, int node, const std::vector<std::int8_t>& ends, int side,
                            const std::vector<std::int32_t>& path) {
  const auto first = static_cast<std::size_t>(game.nodes[static_cast<std::size_t>(node)].first_child);
  bool any = false;
  for (std::size_t i = 0; i < ends.size(); ++i) {
    if (ends[i] == kGoesOn) continue;
    Node& child = game.nodes[first + i];
    if (ends[i] == kMatedNext) {
      // Proven without being expanded: a descent that reaches it backs up the win.
      child.proof = kWon;
      child.proof_plies = 1;
      any = true;
      continue;
    }
    child.state = kTerminal;
    child.terminal_value = static_cast<float>(for_mover(ends[i], side ^ 1));
    child.proof = child.terminal_value > 0 ? kWon : child.terminal_value < 0 ? kLost : kDrawn;
    child.proof_plies = 0;
    any = true;
  }
  if (any && settle(game, node)) propagate(game, path);
}

void Search::write_leaf(Game& game, int index, const std::vector<std::int32_t>& path, const Rows& rows,
                        const ActionList& legal) {
  Leaf leaf;
  leaf.path = path;
  sorted_legal(legal, leaf.actions, leaf.moves);
  judge_moves(game.work, leaf.moves, leaf.ends);
  leaf.side = game.work.side;
  const auto slot = static_cast<std::size_t>(index * options_.leaves_per_game) + game.leaves.size();
  if (rows.observations) game.work.write_observation(rows.observations + slot * kObservationValues);
  if (rows.compact) game.work.write_compact(rows.compact + slot * kCompactWords);
  bool* mask = rows.masks + slot * static_cast<std::size_t>(kActions);
  std::fill_n(mask, kActions, false);
  for (const std::int32_t action : leaf.actions) mask[action] = true;
  game.leaves.push_back(std::move(leaf));
}

bool Search::expand_listed(Game& game, int node, const ActionList& legal) {
  std::vector<std::int32_t> actions, moves;
  sorted_legal(legal, actions, moves);
  return expand_node(game, node, actions, moves, static_cast<const double*>(nullptr));
}

template <class Logit>
bool Search::expand_node(Game& game, int node, const std::vector<std::int32_t>& actions,
                         const std::vector<std::int32_t>& moves, const Logit* logits) {
  const std::size_t count = actions.size();
  if (game.nodes.size() + count > static_cast<std::size_t>(options_.max_nodes)) {
    game.full = true;
    game.nodes[static_cast<std::size_t>(node)].state = kNew;
    return false;
  }
  // Priors: a softmax over the legal actions only, in ascending action order.
  std::vector<double> priors(count, 1.0);
  if (logits != nullptr) {
    double top = -INFINITY;
    for (const std::int32_t a : actions) top = std::max(top, static_cast<double>(logits[a]));
    for (std::size_t i = 0; i < count; ++i) priors[i] = std::exp(static_cast<double>(logits[actions[i]]) - top);
  }
  double sum = 0;
  for (const double p : priors) sum += p;
  const auto first = game.nodes.size();
  game.nodes.resize(first + count);
  for (std::size_t i = 0; i < count; ++i) {
    Node& child = game.nodes[first + i];
    child.action = actions[i];
    child.move = moves[i];
    child.prior = child.base_prior = priors[i] / sum;
  }
  Node& parent = game.nodes[static_cast<std::size_t>(node)];
  parent.first_child = static_cast<std::int32_t>(first);
  parent.child_count = static_cast<std::int16_t>(count);
  parent.state = kExpanded;
  if (node == 0) add_noise(game);
  return true;
}

void Search::add_noise(Game& game) {
  if (options_.dirichlet_fraction <= 0 || options_.dirichlet_alpha <= 0) return;
  const Node& root = game.nodes[0];
  const auto first = static_cast<std::size_t>(root.first_child);
  const auto count = static_cast<std::size_t>(root.child_count);
  if (count == 0) return;
  std::gamma_distribution<double> gamma(options_.dirichlet_alpha, 1.0);
  std::vector<double> noise(count);
  double sum = 0;
  for (double& n : noise) sum += n = gamma(game.random);
  if (sum == 0) {
    // Every draw underflowed (a tiny alpha): the Dirichlet's mass sits on one child, each
    // as likely.
    noise[std::uniform_int_distribution<std::size_t>(0, count - 1)(game.random)] = sum = 1;
  } else if (!std::isfinite(sum)) {
    // The draws of a huge alpha overflow their sum; taken relative to the largest they do not.
    const double largest = *std::max_element(noise.begin(), noise.end());
    sum = 0;
    for (double& n : noise) sum += n /= largest;
  }
  const double share = options_.dirichlet_fraction;
  for (std::size_t i = 0; i < count; ++i) {
    Node& child = game.nodes[first + i];
    child.prior = (1 - share) * child.base_prior + share * noise[i] / sum;
  }
}

void Search::back_up(Game& game, const std::vector<std::int32_t>& path, double value, bool virtual_loss) {
  // The leaf's value is from its side to move; the edge into it belongs to the other side.
  double v = -value;
  for (auto i = path.size(); i-- > 0;) {
    Node& node = game.nodes[static_cast<std::size_t>(path[i])];
    if (virtual_loss) {
      node.visits -= 1;
      node.value_sum += 1;
    }
    node.visits += 1;
    node.value_sum += v;
    v = -v;
  }
}

template <class Logit>
void Search::expand(const Logit* logits, const double* values) {
  for (const Game& game : games_) {
    for (const Leaf& leaf : game.leaves) {
      const auto row = static_cast<std::size_t>(leaf.row);
      const double value = values[row];
      if (!std::isfinite(value) || value < -1 || value > 1)
        throw BadEvaluation("the value of row " + std::to_string(row) + " is " + std::to_string(value) +
                            ": values must be finite and within [-1, 1]");
      for (const std::int32_t a : leaf.actions) {
        const double logit = static_cast<double>(logits[row * kActions + static_cast<std::size_t>(a)]);
        if (!std::isfinite(logit))
          throw BadEvaluation("the logit of legal action " + std::to_string(a) + " in row " + std::to_string(row) +
                              " is " + std::to_string(logit) + ": logits of legal actions must be finite");
      }
    }
  }
  const bool virtual_loss = options_.leaves_per_game > 1;
  auto body = [&](int g, int) {
    Game& game = games_[static_cast<std::size_t>(g)];
    for (Leaf& leaf : game.leaves) {
      const Logit* row = logits + static_cast<std::size_t>(leaf.row) * kActions;
      const int node = leaf.path.empty() ? 0 : leaf.path.back();
      if (expand_node(game, node, leaf.actions, leaf.moves, row))
        prove_children(game, node, leaf.ends, leaf.side, leaf.path);
      if (leaf.path.empty()) continue;
      back_up(game, leaf.path, values[leaf.row], virtual_loss);
      ++game.done;
    }
    game.leaves.clear();
  };
  pool_.for_each(num_games(), body);
  awaiting_ = false;
}

template void Search::expand(const float*, const double*);
template void Search::expand(const double*, const double*);

void Search::abandon() {
  for (Game& game : games_) {
    for (const Leaf& leaf : game.leaves) {
      const int node = leaf.path.empty() ? 0 : leaf.path.back();
      game.nodes[static_cast<std::size_t>(node)].state = kNew;
      if (options_.leaves_per_game > 1) {
        for (const std::int32_t n : leaf.path) {
          game.nodes[static_cast<std::size_t>(n)].visits -= 1;
          game.nodes[static_cast<std::size_t>(n)].value_sum += 1;
        }
      }
    }
    game.leaves.clear();
  }
  awaiting_ = false;
}

void Search::results(double temperature, const Outputs& out) {
  require_turn("results");
  const auto width = static_cast<std::size_t>(kActions);
  for (std::size_t g = 0; g < games_.size(); ++g) {
    Game& game = games_[g];
    std::fill_n(out.policies + g * width, width, 0.0f);
    std::fill_n(out.visits + g * width, width, 0);
    out.simulations[g] = game.done;
    out.actions[g] = -1;
    out.values[g] = 0;
    out.proven[g] = false;
    if (game.root_over) {
      out.values[g] = static_cast<float>(for_mover(game.root_reward, game.root.side));
      out.proven[g] = true;
      continue;
    }
    const Node& root = game.nodes[0];
    if (root.state != kExpanded) continue;
    const auto first = static_cast<std::size_t>(root.first_child);
    const auto count = static_cast<std::size_t>(root.child_count);
    std::int64_t total = 0;
    double value_sum = 0;
    // A move into a won position loses; it is chosen only when every move does.
    const bool lost = root.proof == kLost;
    auto allowed = [lost](const Node& child) { return lost || child.proof != kWon; };
    std::size_t best = first + count;
    for (std::size_t i = first; i < first + count; ++i) {
      const Node& child = game.nodes[i];
      out.visits[g * width + static_cast<std::size_t>(child.action)] = child.visits;
      total += child.visits;
      value_sum += child.value_sum;
      if (allowed(child) && (best == first + count || more_visited(child, game.nodes[best]))) best = i;
    }
    if (best == first + count) best = first;
    if (total > 0) {
      for (std::size_t i = first; i < first + count; ++i) {
        const Node& child = game.nodes[i];
        out.policies[g * width + static_cast<std::size_t>(child.action)] =
            static_cast<float>(static_cast<double>(child.visits) / static_cast<double>(total));
      }
      out.values[g] = static_cast<float>(value_sum / static_cast<double>(total));
    }
    if (root.proof != kUnproven) {
      out.values[g] = static_cast<float>(root.proof);
      out.proven[g] = true;
      best = proven_child(game, 0);
      // A proven win or loss has one best move; a proven draw is drawn among the drawing
      // moves by their visits.
      if (root.proof == kDrawn && temperature > 0) {
        auto drawing = [](const Node& child) { return child.proof == kDrawn; };
        const std::size_t drawn = draw_by_visits(game.nodes, first, count, temperature, game.random, drawing);
        if (drawn != first + count) best = drawn;
      }
    } else if (temperature > 0 && total > 0) {
      const std::size_t drawn = draw_by_visits(game.nodes, first, count, temperature, game.random, allowed);
      if (drawn != first + count) best = drawn;
    }
    out.actions[g] = game.nodes[best].action;
  }
}

void Search::advance(std::span<const std::int64_t> actions) {
  require_turn("advance");
  for (std::size_t g = 0; g < games_.size(); ++g) {
    Game& game = games_[g];
    game.kept = false;
    if (game.nodes.empty() || game.nodes[0].state != kExpanded) {
      game.nodes.clear();
      continue;
    }
    const Node& root = game.nodes[0];
    int kept = -1;
    for (int i = root.first_child; i < root.first_child + root.child_count; ++i)
      if (game.nodes[static_cast<std::size_t>(i)].action == actions[g]) kept = i;
    if (kept < 0 || game.nodes[static_cast<std::size_t>(kept)].state != kExpanded) {
      game.nodes.clear();
      continue;
    }
    // The subtree is copied to the front of a new pool, breadth first, so the pool
    // holds nothing but it.
    std::vector<Node> nodes{game.nodes[static_cast<std::size_t>(kept)]};
    std::vector<std::int32_t> from{kept};
    for (std::size_t next = 0; next < nodes.size(); ++next) {
      const Node& old = game.nodes[static_cast<std::size_t>(from[next])];
      if (old.state != kExpanded) continue;
      nodes[next].first_child = static_cast<std::int32_t>(nodes.size());
      for (int c = old.first_child; c < old.first_child + old.child_count; ++c) {
        nodes.push_back(game.nodes[static_cast<std::size_t>(c)]);
        from.push_back(c);
      }
    }
    nodes[0].action = -1;
    game.nodes = std::move(nodes);
    game.kept = true;
  }
}

}  // namespace vantor::search
