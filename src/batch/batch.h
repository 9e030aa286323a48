// Many independent games stepped together on a pool of threads, writing their results
// into caller-owned arrays. Each game is exactly a Board driven as a learner drives one:
// reset (or start_from a FEN), then step and get_actions after every step.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "batch/pool.h"
#include "engine/board.h"

namespace vantor::batch {

enum class Autoreset { next_step, disabled };
enum class Illegal { raise, lose };
// How observations are laid out: always as the side to move sees them, or exactly as the
// module's Vantor writes them, which leaves the observation of a start with black to move
// (a reset or a restored snapshot right after one) unturned.
enum class Planes { module, side_to_move };

// A game's start from FEN: text whose first four fields the engine reads, and the clocks
// the engine does not read from it. The half-move clock is the no-progress count to go on
// from, so the draw after fifty half-moves without progress comes when the text says.
struct Start {
  std::string fen;
  std::int32_t halfmove_clock = 0;
  std::int64_t fullmove_number = 1;
};

struct Options {
  int num_envs = 1;
  int threads = 1;
  int max_plies = 0;  // steps after which an unfinished game is truncated; 0 for none
  Autoreset autoreset = Autoreset::next_step;
  Illegal illegal = Illegal::raise;
  // Roll-outs and start draws use per-game generators seeded from this when set.
  std::optional<std::uint64_t> seed;
  Planes planes = Planes::module;
  // Games started without a FEN of their own (resets and autoresets) draw their start
  // from these when there are any, else start from the initial position.
  std::vector<Start> start_pool;
  Rules rules = Rules::module;  // what ends a game and how its clock counts
  // Every game plays Chess960 castling (engine/castling.h), reading its starts so.
  bool chess960 = false;
};

// How a game ended, as the ending output holds it: the engine's Ending codes, then these.
inline constexpr std::int8_t kEndedByIllegalAction = 8;  // under Illegal::lose
inline constexpr std::int8_t kEndedByMaxPlies = 9;       // truncated

// Row-major arrays with one row per game; a null pointer is an output nobody wants.
// Observations are 119 x 64 values a row (kCompactWords words in compact form), the
// action mask 4672 a row.
struct Outputs {
  std::int32_t* observations = nullptr;
  float* observations_float = nullptr;
  std::int8_t* rewards = nullptr;
  bool* terminated = nullptr;
  bool* truncated = nullptr;
  bool* action_mask = nullptr;
  std::int8_t* side = nullptr;
  bool* illegal = nullptr;
  std::uint64_t* compact = nullptr;
  std::int8_t* ending = nullptr;  // 0 while the game goes on, else how it ended
};

// Refusals of step, thrown before any game changes.
struct IllegalAction : std::invalid_argument {
  IllegalAction(int index, std::int64_t action);
  int index;
  std::int64_t action;
};

struct GameOver : std::invalid_argument {
  explicit GameOver(int index);
  int index;
};

class Batch {
 public:
  explicit Batch(const Options& options);

  int size() const { return static_cast<int>(games_.size()); }
  int threads() const { return pool_.size(); }

  // Starts the games named by indices (distinct, in range), from the initial position (or
  // one drawn from the start pool) or from starts[k] for indices[k]. Output rows follow
  // the order of indices.
  void reset(std::span<const int> indices, std::span<const Start> starts, const Outputs& out);

  // One action for every game. A finished game restarts instead under next-step
  // autoreset (its action is ignored, reward 0); with autoreset disabled stepping it
  // throws GameOver. An action that is not legal throws IllegalAction when illegal is
  // raise; under lose it ends that game as a loss for the side to move, changing nothing
  // else. Refusals are found before any game moves.
  void step(std::span<const std::int64_t> actions, const Outputs& out);
  // The same for the games named by indices (distinct, in range) alone, actions[k] for
  // indices[k]; output rows follow the order of indices. The other games keep their turn,
  // as an opponent's move in some games and not in others needs.
  void step(std::span<const int> indices, std::span<const std::int64_t> actions, const Outputs& out);

  // Random roll-outs of the named games; rewards[k] is game indices[k]'s.
  void roll_out(std::span<const int> indices, std::int8_t* rewards);

  State save_state(int index) const;
  // Makes game index the snapshot's game (throws std::invalid_argument for a misshapen
  // one before anything changes) and writes its row; its ply count starts again. With a
  // compact row wanted, a snapshot whose history compact rows cannot show (see
  // HistoryEntry) is refused the same way, and so is one whose positions were counted
  // under the other family of rules (the module's hash_state against chess's
  // position_key), which would count repetitions wrongly. A snapshot whose position ends
  // the game is judged as a step into it would be, and the game is finished.
  void restore_state(int index, State snapshot, const Outputs& out);
  void hash_state(std::uint64_t* out) const;
  // Marks the game finished when its position ends the game (a mate, a stalemate or an
  // automatic draw) as a step into it would, so that only a reset goes on; returns whether
  // it did.
  bool finish_if_over(int index);
  // Seeds every game's generators afresh, as a batch made with this seed has them.
  void reseed(std::optional<std::uint64_t> seed);
  // The full-move number of FEN text for the game's position: its start's, plus one for
  // every move black made since, up to 2**31 - 1, the most FEN text is read with. A
  // snapshot restored has no such count and starts at 1.
  std::int64_t fullmove_number(int index) const { return games_[static_cast<std::size_t>(index)].fullmove_number; }

  // What one game is now, for callers that drive a single game and read only what they
  // need: its legal actions, ascending, into out (room for kMaxMoves), returning their
  // count; and its row of the named outputs, as its last step wrote it, into row 0 of out.
  int legal_actions(int index, std::int64_t* out) const;
  void write_outputs(int index, const Outputs& out) const { write_row(0, game(index), out); }
  int side(int index) const { return game(index).board.side; }
  std::int8_t ending(int index) const { return game(index).ending; }
  Rules rules() const { return options_.rules; }
  int plies(int index) const { return game(index).plies; }
  bool finished(int index) const { return game(index).finished; }
  // The start pool's entry the game's last start was drawn from, or -1 (a start of its
  // own, the initial position, or a restored snapshot).
  int start_index(int index) const { return game(index).start_index; }
  std::array<std::int8_t, 4> castling_rooks(int index) const { return game(index).board.castling.rooks; }
  bool chess960() const { return options_.chess960; }
  // The game's board, for callers that read its position (its notation) between calls.
  const Board& board(int index) const { return game(index).board; }

 private:
  struct LegalMove {
    std::int32_t action, move;
  };
  struct Game {
    Board board;
    ActionMask mask;  // the legal actions of the position
    // Each legal action with its move word, as listed. A step finds its move here, and
    // board.move_index is left empty rather than rebuilt every step: save_state makes the
    // snapshot's index from this list.
    std::vector<LegalMove> legal;
    int plies = 0;
    std::int64_t fullmove_number = 1;
    bool finished = false;
    std::int8_t ending = 0;  // as the ending output holds it
    std::uint64_t roll_outs = 0;
    std::uint64_t starts_drawn = 0;
    std::int32_t start_index = -1;
  };

  const Game& game(int index) const { return games_[static_cast<std::size_t>(index)]; }
  void start(int index, const Start* from, ActionList& scratch);
  const Start* draw_start(int index);
  void refuse(int index, std::int64_t action) const;
  void step_one(int index, std::int64_t action, int row, const Outputs& out, ActionList& scratch);
  void write_row(int row, const Game& game, const Outputs& out) const;
  // The mask and legal list from the legal moves of the game's position; index_mask
  // lists them first.
  static void take_mask(Game& game, const ActionList& legal);
  void index_mask(Game& game, ActionList& scratch);
  bool legal(const Game& game, std::int64_t action) const;

  Options options_;
  std::vector<Game> games_;
  // One list per thread, each on its own cache lines: list_legal counts into it move by
  // move, and a neighbour's list sharing a line would bounce it between the cores.
  struct alignas(64) Scratch {
    ActionList list;
  };
  std::vector<Scratch> scratch_;
  WorkerPool pool_;
};

}  // namespace vantor::batch
