// reset, step and the random roll-out.
#include "engine/episode.h"

#include <cstdint>
#include <random>
#include <stdexcept>

#include "engine/actions.h"
#include "engine/board.h"

namespace vantor {

namespace {

// Uniform index in 0 .. n - 1 by Lemire's multiply-and-reject method.
std::uint32_t uniform_below(std::mt19937& engine, std::uint32_t n) {
  std::uint64_t product = std::uint64_t{engine()} * n;
  if (static_cast<std::uint32_t>(product) < n) {
    const std::uint32_t threshold = static_cast<std::uint32_t>(-n) % n;
    while (static_cast<std::uint32_t>(product) < threshold) product = std::uint64_t{engine()} * n;
  }
  return static_cast<std::uint32_t>(product >> 32);
}

}  // namespace

void Board::start_from(std::string_view fen) {
  just_reset = 1;
  state_history.clear();
  repetition_count.clear();
  state_pos = 0;
  // A new episode starts with no repetition value left over from the last one.
  n_repititions = 0;
  prev_n_repititions = 0;
  parse_fen(fen);
  record_state();
}

StepResult Board::reset() {
  start_from(kStartFen);
  Observation observation = build_observation();
  // The legal actions go to move_index; nobody would see the mask.
  ActionList legal;
  list_legal(legal);
  index_actions(legal);
  return {side, std::move(observation), 0, 0};
}

bool Board::has_legal_move() {
  MoveList list;
  generate_moves(list);
  const Bitboard to_try = sources_to_try();
  for (int i = 0; i < list.count; ++i) {
    const int move = list.moves[i];
    if (!has(to_try, move_source(move)) && kind_of(move_piece(move)) != 5 && !move_is_enpassant(move))
      return true;
    if (is_legal(move)) return true;
  }
  return false;
}

bool Board::in_check() const {
  const int king = lowest_or_none(bitboards[piece_of(side, 5)]);
  return square_attacked_by(king, side ^ 1) == 1;
}

void Board::play_and_record(int move) {
  make_move(move);
  record_state();
  total_move_count = wrapping_add(total_move_count, 1);
}

std::pair<int, int> Board::judge(bool has_move) const {
  const Outcome result = outcome(has_move);
  return {result.reward, result.over() ? 1 : 0};
}

namespace {

// The draw, if any, of a position with a legal move, by its repetition value and clock.
Ending draw_of(Rules rules, std::int32_t repeats, std::int32_t clock) {
  const bool clock_out = clock >= halfmove_limit(rules);
  switch (rules) {
    // The module's test is equality: a fourth occurrence, reached by stepping on after
    // the draw, does not end the game again.
    case Rules::module: return repeats == 2 ? Ending::repetition : clock_out ? Ending::fifty_moves : Ending::none;
    case Rules::standard:
      return clock_out ? Ending::fifty_moves : repeats >= repetition_limit(rules) ? Ending::repetition : Ending::none;
    case Rules::automatic:
      return clock_out                                ? Ending::seventyfive_moves
             : repeats >= repetition_limit(rules) ? Ending::fivefold_repetition
                                                  : Ending::none;
  }
  return Ending::none;
}

}  // namespace

Outcome Board::outcome(bool has_move, std::int32_t repeats) const {
  // Draws by the clock or by repetition are judged only while a move remains: a mate or
  // stalemate that also repeats a position ends the game as mate or stalemate.
  if (!has_move && in_check()) return {side == kBlack ? 1 : -1, Ending::checkmate};
  if (rules != Rules::module && insufficient_material()) return {0, Ending::insufficient_material};
  if (!has_move) return {0, Ending::stalemate};
  return {0, draw_of(rules, repeats, no_progress_count)};
}

bool Board::insufficient_material() const {
  const Bitboard pawns = bitboards[kWhitePawn] | bitboards[kBlackPawn];
  const Bitboard knights = bitboards[kWhiteKnight] | bitboards[kBlackKnight];
  const Bitboard bishops = bitboards[kWhiteBishop] | bitboards[kBlackBishop];
  const Bitboard kings_and_queens = bitboards[kWhiteKing] | bitboards[kBlackKing] | bitboards[kWhiteQueen] |
                                    bitboards[kBlackQueen];
  constexpr Bitboard kDark = 0x55aa55aa55aa55aaULL;  // a1 (square 56) is dark
  auto cannot_mate = [&](int by) {
    const Bitboard* own = &bitboards[piece_of(by, 0)];
    if (own[0] | own[3] | own[4]) return false;
    // A lone knight mates only with the help of the other side's minor pieces, rooks or pawns.
    if (own[1]) return count(occupancies[by]) <= 2 && !(occupancies[by ^ 1] & ~kings_and_queens);
    // Bishops mate only when some stand on each colour or a knight or pawn can block.
    if (own[2]) return ((bishops & kDark) == 0 || (bishops & ~kDark) == 0) && !pawns && !knights;
    return true;
  };
  return cannot_mate(kWhite) && cannot_mate(kBlack);
}

namespace {

// A trial move's own copy of what make_move changes, put back when it goes out of scope:
// the trial moves made below it (has_legal_move's, the replies') overwrite the board's
// take-back copy, so one level of it cannot serve.
class TrialMove {
 public:
  TrialMove(Board& board, int move)
      : board_(board), pieces_(board.bitboards), occupied_(board.occupancies), side_(board.side),
        castle_(board.castle), enpassant_(board.enpassant), progress_(board.no_progress_count) {
    board.make_move(move);
  }
  TrialMove(const TrialMove&) = delete;
  TrialMove& operator=(const TrialMove&) = delete;
  ~TrialMove() {
    board_.bitboards = pieces_;
    board_.occupancies = occupied_;
    board_.side = side_;
    board_.castle = castle_;
    board_.enpassant = enpassant_;
    board_.no_progress_count = progress_;
  }

 private:
  Board& board_;
  const decltype(Board::bitboards) pieces_;
  const decltype(Board::occupancies) occupied_;
  const std::int32_t side_, castle_, enpassant_, progress_;
};

}  // namespace

std::pair<int, int> Board::judge_after(int move) {
  const Outcome result = outcome_after(move);
  return {result.reward, result.over() ? 1 : 0};
}

Outcome Board::outcome_after(int move) {
  const TrialMove trial(*this, move);
  const bool has_move = has_legal_move();
  // Recording the position would make its repetition value the times it was seen before.
  std::int32_t seen = 0;
  if (has_move) {
    const auto found = repetition_count.find(repetition_key());
    if (found != repetition_count.end()) seen = found->second;
  }
  return outcome(has_move, seen);
}

bool Board::mate_in_one_after(int move) {
  const TrialMove trial(*this, move);
  ActionList replies;
  list_legal(replies);
  // A reply that leaves no legal move and checks is a mate: judge_after gives it a winner.
  for (int i = 0; i < replies.count; ++i) {
    if (judge_after(replies.moves[i]).first != 0) return true;
  }
  return false;
}

StepResult Board::step(int action) {
  just_reset = 0;
  ActionList legal;
  list_legal(legal);
  index_actions(legal);
  const auto found = move_index.find(action);
  if (found == move_index.end()) throw std::invalid_argument("Invalid action");
  play_and_record(found->second);
  Observation observation = build_observation();
  const auto [reward, done] = judge(has_legal_move());
  return {side, std::move(observation), reward, done};
}

void Board::play(int move) {
  just_reset = 0;
  play_and_record(move);
}

Outcome Board::play_listed(int move, ActionList& legal) {
  just_reset = 0;
  play_and_record(move);
  list_legal(legal);
  return outcome(legal.count > 0);
}

int Board::roll_out() {
  std::random_device source;
  std::mt19937 engine(source());
  return roll_out(engine);
}

int Board::roll_out(std::mt19937& engine) {
  ActionList lists[2];
  ActionList* current = &lists[0];
  ActionList* following = &lists[1];
  list_legal(*current);
  // A finished game has nothing to draw from: the roll-out ends where it stands.
  if (current->count == 0) {
    move_index.clear();
    return 0;
  }
  // A roll-out is a sequence of steps whose observations nobody sees, so none is built;
  // every other effect of those steps is kept, move_index included, which a step leaves
  // holding the actions of the position before its move.
  int result = 0;
  for (int i = 1;; ++i) {
    just_reset = 0;
    // The order of the candidates does not matter: the seed cannot be reproduced.
    const auto pick = uniform_below(engine, static_cast<std::uint32_t>(current->count));
    play_and_record(current->moves[pick]);
    // The legal moves of the new position decide the end of the game and are the next
    // ply's candidates.
    list_legal(*following);
    const auto [reward, done] = judge(following->count > 0);
    result = reward;
    if (done || i == kRollOutSteps) break;
    std::swap(current, following);
  }
  index_actions(*current);
  return result;
}

}  // namespace vantor
