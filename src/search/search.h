// Batched PUCT tree search over many games: each round selects leaves in every game,
// hands their observations to an evaluator in one batch, then expands and backs up.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <random>
#include <span>
#include <stdexcept>
#include <vector>

#include "batch/pool.h"
#include "engine/board.h"

namespace vantor::search {

struct Options {
  int num_games = 1;
  int simulations = 800;
  double c_puct = 1.25;
  double dirichlet_alpha = 0.3;
  double dirichlet_fraction = 0.25;
  double fpu = 0.0;  // the value of a child not visited yet, from its mover's side
  int leaves_per_game = 1;
  int threads = 1;
  std::optional<std::uint64_t> seed;
  int max_nodes = 100000;  // per game, one node per child edge
  bool roll_out_values = false;  // uniform priors and a random roll-out's value, no evaluator
  bool compact = false;  // leaves written in compact form (kCompactWords words a row)
  Rules rules = Rules::module;  // what ends the games searched and how their clock counts
  bool chess960 = false;  // the roots are Chess960 positions (engine/castling.h)
};

// An evaluator output the search cannot use; nothing was changed.
struct BadEvaluation : std::invalid_argument {
  using std::invalid_argument::invalid_argument;
};

// A call out of turn: the leaves of the last select still wait for expand or abandon, and
// only those two may come next. Nothing was changed.
struct OutOfTurn : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// An edge of a tree and the position it leads to. Values are sums from the side of the
// player who moves into the node (the parent's side to move).
struct Node {
  double prior = 0;
  double base_prior = 0;  // the prior before root noise
  double value_sum = 0;
  std::uint64_t hash = 0;  // of the position, once it has been reached
  std::int32_t visits = 0;
  std::int32_t action = -1;
  std::int32_t move = 0;
  std::int32_t first_child = -1;
  std::int16_t child_count = 0;
  std::uint8_t state = 0;  // see NodeState
  std::int8_t proof = 2;    // see Proof: the game's result under best play, once known
  std::int16_t proof_plies = 0;  // plies to the end of the game under best play, once proven
  float terminal_value = 0;  // from the side to move at the node
};

enum NodeState : std::uint8_t { kNew, kPending, kExpanded, kTerminal };

// What is proven about a node's position, from its side to move: a terminal position, or
// one with a move into a lost position (won), only moves into won positions (lost), or
// every move proven and the best a draw (drawn).
enum Proof : std::int8_t { kLost = -1, kDrawn = 0, kWon = 1, kUnproven = 2 };

// Results of a run, one row per game.
struct Outputs {
  float* policies;        // num_games x 4672
  std::int32_t* visits;   // num_games x 4672
  float* values;          // num_games
  std::int64_t* actions;  // num_games
  std::int64_t* simulations;  // num_games
  bool* proven;           // num_games: the root's result is proven (values then holds it)
};

class Search {
 public:
  explicit Search(const Options& options);

  int num_games() const { return options_.num_games; }
  // Rows the last select wrote, which expand reads.
  int pending_rows() const;
  int max_leaves() const { return options_.num_games * options_.leaves_per_game; }
  bool compact() const { return options_.compact; }

  // Makes the roots the games' positions (throws std::invalid_argument for a misshapen
  // State, or in a compact search one whose history compact rows cannot show; OutOfTurn
  // while leaves wait; all before anything changes). A game whose kept subtree (see
  // advance) stands for the same position keeps it; every other game starts a fresh tree.
  // rooks, when given, are each root's castling rooks as its own game holds them (a State
  // names only the rights, which a Chess960 root would give to the outermost rooks).
  void set_roots(std::span<const State> roots, std::span<const std::array<std::int8_t, 4>> rooks = {});

  // Selects the next leaves of every game and writes their observations and masks, one
  // row per leaf, game after game; returns the number of rows (0 when every game is
  // done). Terminal leaves, and every leaf under roll-out values, are backed up at once.
  // OutOfTurn while the last select's leaves wait. A compact search writes its rows into
  // compact instead of observations.
  int select(float* observations, bool* masks, std::uint64_t* compact = nullptr);

  // Expands the leaves of the last select with the evaluator's rows (logits per action,
  // values from the leaf's side to move) and backs them up. Throws BadEvaluation, before
  // changing anything, for a non-finite value or legal logit or a value outside [-1, 1].
  // Logits come as float or double, whichever the evaluator made: only the legal ones are
  // read, so they are not converted as a whole.
  template <class Logit>
  void expand(const Logit* logits, const double* values);

  // Forgets the leaves of the last select (the evaluator failed): their trees are as
  // before it.
  void abandon();

  // Per game: visits, policy, root value and an action, the most visited at temperature
  // 0, else drawn with probability proportional to visits ** (1 / temperature); -1 only
  // for a root that has no legal move or whose game is over. A move proven to lose is
  // never chosen while another exists; at a proven root the action is the proven one (the
  // fastest win, the slowest loss, a drawing move) and the value the exact result.
  // OutOfTurn while leaves wait.
  void results(double temperature, const Outputs& out);

  // Keeps the subtree under each game's action for the next run; -1 drops the tree.
  // OutOfTurn while leaves wait.
  void advance(std::span<const std::int64_t> actions);

 private:
  struct Leaf {
    std::vector<std::int32_t> path;  // node indices from the root's child to the leaf
    std::vector<std::int32_t> actions, moves;  // the leaf's legal actions, ascending
    std::vector<std::int8_t> ends;  // per move: white's reward if it ends the game, else kGoesOn
    int side = kWhite;              // the side to move at the leaf
    int row = -1;
  };

  struct Game {
    std::vector<Node> nodes;  // nodes[0] is the root
    Board root;               // the root position with its history
    Board work;               // root, played forward during a descent and set back after it
    std::mt19937 random;
    std::uint64_t runs = 0;
    int done = 0;  // simulations made in this run
    bool full = false;
    bool kept = false;  // nodes hold a subtree kept by advance, not yet matched to a root
    bool root_over = false;
    int root_reward = 0;
    std::vector<Leaf> leaves;  // waiting for the evaluator
    std::vector<std::uint64_t> played;  // hashes recorded during the current descent
    std::vector<std::int32_t> path;     // the current descent's nodes, kept for its capacity
    std::vector<std::int8_t> ends;      // a roll-out leaf's children's ends, kept likewise
    std::vector<std::int32_t> path_moves;  // their moves, kept likewise
  };

  // Where select writes: one row per leaf, as planes or compact.
  struct Rows {
    float* observations;
    std::uint64_t* compact;
    bool* masks;
  };

  bool wants_more(const Game& game) const;
  // One descent from the root; false when the game should select no more this round.
  bool descend(Game& game, int index, const Rows& rows, ActionList& legal);
  // The descent reached a position never reached before: judge it, queue it for the
  // evaluator or value it by a roll-out.
  bool reach_new(Game& game, int index, std::vector<std::int32_t>& path, const Rows& rows, ActionList& legal);
  int choose_child(const Game& game, int node) const;
  // The child that realises a proven node's result: the fastest win, the slowest loss or
  // a drawing move, then the most visited, the higher prior, the lower action.
  std::size_t proven_child(const Game& game, int node) const;
  // Proves a node from its children when they decide it; true when it became proven. A
  // won node (the root, searched on) takes a faster win among its children.
  bool settle(Game& game, int node);
  // Carries the proof of the path's last node up towards the root while it decides more.
  void propagate(Game& game, const std::vector<std::int32_t>& path);
  void play(Game& game, int node);
  // Sets the descent's board back to the root.
  void restore_work(Game& game);
  void write_leaf(Game& game, int index, const std::vector<std::int32_t>& path, const Rows& rows,
                  const ActionList& legal);
  // Marks the children of a node just expanded whose move ends the game at once (ends, one
  // per child, from judge_moves; side, the node's side to move) as proven terminal
  // positions, so a mate below a node is known at its first visit; proves the node and
  // the path above it (its last entry the node) where they decide it.
  void prove_children(Game& game, int node, const std::vector<std::int8_t>& ends, int side,
                      const std::vector<std::int32_t>& path);
  // The same for a node just expanded from game.work, the position at it.
  void prove_listed(Game& game, int node, const std::vector<std::int32_t>& path);
  bool expand_listed(Game& game, int node, const ActionList& legal);
  // Gives node its children (false, and the game full, when the pool has no room), with
  // priors from the logits of its actions, or uniform ones without logits.
  template <class Logit>
  bool expand_node(Game& game, int node, const std::vector<std::int32_t>& actions,
                   const std::vector<std::int32_t>& moves, const Logit* logits);
  void add_noise(Game& game);
  void back_up(Game& game, const std::vector<std::int32_t>& path, double value, bool virtual_loss);
  void start_tree(Game& game);
  void require_turn(const char* call) const;

  Options options_;
  bool awaiting_ = false;  // the last select's leaves wait for expand or abandon
  std::vector<Game> games_;
  std::vector<ActionList> scratch_;  // one per thread
  batch::WorkerPool pool_;
};

}  // namespace vantor::search
