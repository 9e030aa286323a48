// save_state and restore_state: whole-game snapshots for search.
#include "engine/snapshot.h"

#include <stdexcept>
#include <string>

#include "engine/board.h"
#include "engine/castling.h"

namespace vantor {

namespace {

// A snapshot edited from Python may hold anything; the history ring and the observation
// rely on a ring position in 0..7 and on entries of 14 planes of 64 values, so nothing
// else is let in. The side indexes the piece sets; Python cannot set it, but a record
// built in C++ could.
void check_restorable(const State& snapshot) {
  if (snapshot.side != kWhite && snapshot.side != kBlack)
    throw std::invalid_argument("side must be 0 or 1, got " + std::to_string(snapshot.side));
  if (snapshot.state_pos < 0 || snapshot.state_pos >= kHistoryLength)
    throw std::invalid_argument("state_pos must be in 0..7, got " + std::to_string(snapshot.state_pos));
  for (std::size_t i = 0; i < snapshot.state_history.size(); ++i) {
    const PlaneEntry& entry = snapshot.state_history[i];
    if (entry.size() != kEntryPlanes)
      throw std::invalid_argument("state_history entry " + std::to_string(i) + " has " +
                                  std::to_string(entry.size()) + " planes, expected 14");
    for (std::size_t p = 0; p < entry.size(); ++p)
      if (entry[p].size() != 64)
        throw std::invalid_argument("state_history entry " + std::to_string(i) + " plane " +
                                    std::to_string(p) + " has " + std::to_string(entry[p].size()) +
                                    " values, expected 64");
  }
}

}  // namespace

State Board::save_state() const {
  State snapshot;
  snapshot.bitboards = bitboards;
  snapshot.occupancies = occupancies;
  snapshot.side = side;
  snapshot.enpassant = enpassant;
  snapshot.castle = castle;
  snapshot.state_history = history_planes();
  snapshot.state_pos = state_pos;
  // Carried for the reader's information only; restore_state leaves the board's own.
  snapshot.total_move_count = total_move_count;
  snapshot.no_progress_count = no_progress_count;
  snapshot.repetition_count = repetition_count;
  snapshot.n_repititions = n_repititions;
  snapshot.prev_n_repititions = prev_n_repititions;
  snapshot.move_index = move_index;
  return snapshot;
}

StepResult Board::restore_state(State snapshot) {
  check_restorable(snapshot);
  bitboards = snapshot.bitboards;
  occupancies = snapshot.occupancies;
  side = snapshot.side;
  enpassant = snapshot.enpassant;
  castle = snapshot.castle;
  state_history.clear();
  for (const PlaneEntry& entry : snapshot.state_history) state_history.push_back(HistoryEntry::from_planes(entry));
  state_pos = snapshot.state_pos;
  no_progress_count = snapshot.no_progress_count;
  repetition_count = std::move(snapshot.repetition_count);
  n_repititions = snapshot.n_repititions;
  prev_n_repititions = snapshot.prev_n_repititions;
  move_index = std::move(snapshot.move_index);
  if (castling.chess960) infer_castling_rooks();
  return {side, build_observation(), 0, 0};
}

void check_standard_castling(const State& snapshot) {
  constexpr const char* kNames = "KQkq";
  for (int right = 0; right < 4; ++right) {
    if (!((snapshot.castle >> right) & 1)) continue;
    const int who = right / 2, king = who == kWhite ? e1 : e8, rook = CastlingSetup{}.rooks[static_cast<std::size_t>(right)];
    const bool home = (snapshot.bitboards[static_cast<std::size_t>(piece_of(who, 5))] >> king) & 1 &&
                      (snapshot.bitboards[static_cast<std::size_t>(piece_of(who, 3))] >> rook) & 1;
    if (!home)
      throw std::invalid_argument(std::string("castling right '") + kNames[right] +
                                  "' of the snapshot has no king and rook on their home squares: a standard game "
                                  "cannot take it (a Chess960 game's snapshot goes to a Chess960 game)");
  }
}

void check_one_position(const State& snapshot) {
  Bitboard seen = 0;
  std::array<Bitboard, 3> sides{};
  for (int piece = 0; piece < kPieceCodes; ++piece) {
    const Bitboard set = snapshot.bitboards[static_cast<std::size_t>(piece)];
    if (seen & set)
      throw std::invalid_argument("the snapshot's board has two pieces on one square (bitboard " +
                                  std::to_string(piece) + " overlaps another)");
    seen |= set;
    sides[piece < 6 ? kWhite : kBlack] |= set;
  }
  sides[kBothSides] = seen;
  if (sides != snapshot.occupancies)
    throw std::invalid_argument("the snapshot's occupancies are not the unions of its bitboards");
}

void check_counted_under(const State& snapshot, Rules rules) {
  Board probe;
  probe.bitboards = snapshot.bitboards;
  probe.occupancies = snapshot.occupancies;
  probe.side = snapshot.side;
  probe.castle = snapshot.castle;
  probe.enpassant = snapshot.enpassant;
  const auto& counts = snapshot.repetition_count;
  const bool module = counts.contains(probe.hash_state()), chess = counts.contains(probe.position_key());
  if (module == chess || module == (rules == Rules::module)) return;
  const std::string made = module ? "module" : "chess (standard or automatic)";
  throw std::invalid_argument("the snapshot was made under " + made + " rules, but this game plays " +
                              std::string(name_of(rules)) + " rules: its repetition counts would count other positions");
}

}  // namespace vantor
