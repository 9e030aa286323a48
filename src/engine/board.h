// The Board: one chess position, the take-back copy used by trial moves, and the episode
// bookkeeping around the position.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "engine/actions.h"
#include "engine/attacks.h"
#include "engine/castling.h"
#include "engine/episode.h"
#include "engine/history.h"
#include "engine/movegen.h"
#include "engine/rules.h"
#include "engine/snapshot.h"
#include "engine/types.h"

namespace vantor {

// Receives the symbol board that render() writes for a human; the binding forwards each
// call to Python's print. line_break is false where the text must run on without one.
class SymbolPrinter {
 public:
  virtual void print(std::string_view text, bool line_break) = 0;

 protected:
  ~SymbolPrinter() = default;
};

class Board {
 public:
  // Fills the process-wide attack tables (once per process) and leaves an empty position:
  // no pieces, white to move, no castling rights, no en-passant square.
  Board();

  // Loads the placement, side, castling and en-passant fields of FEN text. The text ends
  // at its first NUL byte or its last byte, whichever comes first; nothing past it is
  // read. Malformed text is not refused: it yields whatever position the reader makes of
  // it, and an en-passant field that names no square on the board gives no square (64).
  void parse_fen(std::string_view fen);

  // Makes the board play Chess960 (castling.h) or the standard game from the next FEN it
  // reads; the position is left as it is until then.
  void set_chess960(bool on);

  // For a Chess960 board: the castling rights of the current position, each with the rook
  // it stands for, made again from where the kings and rooks stand (a right for the
  // outermost rook on its side of a king on its back rank), as a snapshot carries only
  // the four right bits. Rights with no such rook are dropped.
  void infer_castling_rooks();
  // The rights (four bits) with the rook each stands for; the caller knows the rooks stand there.
  void set_castling_rooks(int rights, const std::array<std::int8_t, 4>& rooks);

  // Prints the letter board with side, en-passant square and castling rights to letters,
  // and the symbol board through symbols.
  void render(SymbolPrinter& symbols, std::FILE* letters = stdout) const;

  // 1 when a piece of side attacks square in the current position, else 0. A square off
  // the board (a missing king's -1) is never attacked.
  int square_attacked_by(int square, int side) const;

  // Piece code standing on square, or -1; where sets overlap the highest code wins.
  int piece_on(int square) const;

  // Lists every pseudo-legal move of the side to move: piece codes in ascending order,
  // source squares ascending within a code, targets ascending within a source, castling
  // just before the king's ordinary moves. Castling needs the right, the king and rook on
  // their home squares, the squares between empty, and the king's square and the one it
  // passes not attacked.
  void generate_moves(MoveList& list) const;

  // Plays a move word of the current position. Returns 1 when the mover's king is not
  // attacked afterwards and the move stays made; otherwise restores the position and the
  // half-move clock and returns 0. The take-back copy holds the position before the move.
  // A pawn move or capture sets the clock to 1 under the module's rules, which count the
  // move itself, and to 0 under chess's.
  int make_move(int move);

  // 1 when the move is legal; the board is left exactly as it was either way.
  int is_legal(int move);

  // The 73 x 64 mask of legal actions (1 where the action is legal), rebuilding
  // move_index to map each legal action to its move word. The position and counters are
  // left as they were.
  ActionMask get_actions();

  // The action number of a legal move word of the current position.
  int action_of(int move) const;

  // Fills legal with every legal move of the current position and its action.
  void list_legal(ActionList& legal);

  // Makes move_index map exactly the actions of legal to their move words.
  void index_actions(const ActionList& legal);

  // (distance, direction) of a line move as the side to move sees it; (-1, -1) for a
  // move that goes nowhere.
  std::pair<int, int> move_direction(int source, int target) const;

  // Hash of the position: piece sets (without telling piece codes apart), side to move,
  // en-passant square and castling rights.
  std::uint64_t hash_state() const;

  // The position as chess tells positions apart for repetitions: every piece set by its
  // code, side to move, castling rights, and the en-passant square only where an
  // en-passant capture is legal; a 64-bit mix of those.
  std::uint64_t position_key() const;

  // The key repetition_count counts positions by under the rules in force: hash_state
  // under the module's rules, position_key under chess's.
  std::uint64_t repetition_key() const { return rules == Rules::module ? hash_state() : position_key(); }

  // Whether the side to move has a legal en-passant capture.
  bool en_passant_legal() const;

  // Whether neither side can ever mate, as chess judges it (python-chess's
  // is_insufficient_material): no pawn, rook or queen, and at most a lone knight, or
  // bishops all on squares of one colour, where a mate could not be helped along.
  bool insufficient_material() const;

  // Counts the current position in repetition_count and stores its planes in the
  // eight-entry history ring.
  void record_state();

  // The history entries as 14 planes of 64 values each, as a State holds them.
  std::vector<PlaneEntry> history_planes() const;

  // The 119 planes of the current position and the seven recorded before it.
  Observation build_observation() const;

  // The same planes written to out, 119 x 64 values in plane order (int32 or float).
  template <class T>
  void write_observation(T* out) const;

  // The same observation in its compact form (see kCompactWords), kCompactWords words. It
  // is exact only while compact_history() holds.
  void write_compact(std::uint64_t* out) const;

  // Whether every history entry is kept as piece sets and repetition values: false after
  // restoring a snapshot with other planes, until they leave the ring.
  bool compact_history() const;

  // Starts a game from the initial position with an empty history.
  StepResult reset();

  // Starts a game from a FEN position as reset starts one from the initial position: the
  // history holds just that position, counted once, and the half-move clock is 0. No
  // observation is built and move_index is left for get_actions or list_legal and
  // index_actions to rebuild, as a caller that starts games reads the mask next.
  void start_from(std::string_view fen);

  // Plays a legal action and reports the new position and whether the game ended:
  // checkmate, stalemate, or a draw of the rules in force (under the module's, a third
  // occurrence or fifty half-moves without a capture or pawn move). Throws
  // std::invalid_argument("Invalid action") for any other integer,
  // changing nothing but just_reset and move_index.
  StepResult step(int action);

  // A step for a caller that keeps the legal moves of each position itself (a batch of
  // games): plays move, a legal move word of the position, with every effect step has,
  // then lists the new position's legal moves into legal. move_index is left alone: the
  // caller's list is the index. Returns the outcome as step judges it.
  Outcome play_listed(int move, ActionList& legal);

  // Plays a legal move word with every effect step has on the game (the position, its
  // record in the history and repetition counts, the step count), but builds no
  // observation and leaves move_index alone: a search plays many moves nobody sees.
  void play(int move);

  // (reward, done) of the current position as step judges it, given whether a legal
  // move remains.
  std::pair<int, int> judge(bool has_move) const;

  // The same with the ending named, under the rules in force: a mate first, then (under
  // chess's rules) insufficient material, a stalemate, and the draws by the clock and by
  // repetition, which need a legal move.
  Outcome outcome(bool has_move) const { return outcome(has_move, n_repititions); }

  // (reward, done) as step would judge the position after move, a legal move word of this
  // one, without playing it: the board (history and counts included) is left as it was.
  std::pair<int, int> judge_after(int move);
  Outcome outcome_after(int move);

  // Whether, after move (a legal move word of this position), the other side has a move
  // that mates at once; the board is left as it was, as by judge_after.
  bool mate_in_one_after(int move);

  // Copies the game (position, history, counts, counters, move_index) into a new State.
  // Its total_move_count is the board's; restore_state does not read it back.
  State save_state() const;

  // Makes the game what the snapshot holds and returns the observation of it with reward
  // and done 0; total_move_count and just_reset stay the board's own. A snapshot whose
  // state_pos is outside 0..7, or whose history entries are not 14 planes of 64 values,
  // is refused with std::invalid_argument before anything is copied.
  StepResult restore_state(State snapshot);

  // Plays uniformly random legal actions until the game ends or 400 steps are made, and
  // returns the last step's reward; 0 at once when there is no legal action.
  int roll_out();

  // The same, drawing from the caller's generator, so a roll-out can be replayed.
  int roll_out(std::mt19937& engine);

  std::int32_t total_move_count = 0;
  std::int32_t state_pos = 0;
  std::int32_t no_progress_count = 0;
  std::int32_t just_reset = 0;
  std::int32_t castle = 0;
  std::int32_t enpassant = kNoSquare;
  std::int32_t side = kWhite;
  std::array<Bitboard, kPieceCodes> bitboards{};
  std::array<Bitboard, 3> occupancies{};
  // Which rook each castling right stands for, and what a move leaves of the rights.
  CastlingSetup castling;

  // Take-back copy of the position, filled before every trial move.
  std::int32_t saved_castle = 0;
  std::int32_t saved_enpassant = kNoSquare;
  std::int32_t saved_side = kWhite;
  std::array<Bitboard, kPieceCodes> saved_bitboards{};
  std::array<Bitboard, 3> saved_occupancies{};

  std::unordered_map<std::uint64_t, std::int32_t> repetition_count;
  std::unordered_map<std::int32_t, std::int32_t> move_index;
  std::int32_t n_repititions = 0;
  std::int32_t prev_n_repititions = 0;
  std::vector<HistoryEntry> state_history;

  // What ends the game and how the half-move clock counts; a board is the module's until
  // a caller chooses otherwise, and no snapshot carries it.
  Rules rules = Rules::module;

 private:
  Outcome outcome(bool has_move, std::int32_t repeats) const;
  // Whether the en-passant square is one a pawn of the side to move could capture onto:
  // on its sixth rank, empty, with the pawn that passed it one step beyond.
  bool en_passant_open() const;
  void update_occupancies();
  void generate_pawn_moves(MoveList& list) const;
  void generate_castling(MoveList& list) const;
  void generate_castling960(MoveList& list) const;
  void finish_castling960(int king_source, int rook_square);
  // Reads a Chess960 castling field (X-FEN or Shredder-FEN letters) against the position.
  void read_castling960(std::string_view field);
  void generate_piece_moves(MoveList& list, int piece) const;
  void save_position();
  void take_back();
  void remove_captured(int target);
  // The rook's half of a castling move whose king's half make_move has made; target is
  // the move word's.
  void move_castling_rook(int king_source, int target);
  bool has_legal_move();
  // Source squares whose moves need the full legality test (see list_legal).
  Bitboard sources_to_try() const;
  bool in_check() const;
  // What step does with the move it found: play it, record it, count the step.
  void play_and_record(int move);
};

// Inline: make_move asks it once for every move it plays.
inline int Board::square_attacked_by(int square, int by) const {
  if (!on_board(square)) return 0;
  // The answer is whether any attacker exists, so the cheap leaper tests go first, a
  // queen is tested together with the bishops and rooks whose lines it shares, and a
  // slider lookup is made only when such a piece stands on one of the square's lines
  // (slot 0 of a slider table is the empty-board attack set).
  const Bitboard* own = &bitboards[piece_of(by, 0)];
  if ((pawn_attack_table[by ^ 1][square] & own[0]) | (knight_attack_table[square] & own[1]) |
      (king_attack_table[square] & own[5]))
    return 1;
  const Bitboard all = occupancies[kBothSides];
  const Bitboard diagonal = own[2] | own[4];
  if ((bishop_attack_table[square][0] & diagonal) && (lookup_bishop_attacks(square, all) & diagonal)) return 1;
  const Bitboard straight = own[3] | own[4];
  return (rook_attack_table[square][0] & straight) && (lookup_rook_attacks(square, all) & straight) ? 1 : 0;
}

}  // namespace vantor
