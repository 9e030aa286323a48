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

StepResult Board::reset() {
  just_reset = 1;
  state_history.clear();
  repetition_count.clear();
  state_pos = 0;
  // A new episode starts with no repetition value left over from the last one.
  n_repititions = 0;
  prev_n_repititions = 0;
  parse_fen(kStartFen);
  record_state();
  Observation observation = build_observation();
  get_actions();
  return {side, std::move(observation), 0, 0};
}

bool Board::has_legal_move() {
  MoveList list;
  generate_moves(list);
  for (int i = 0; i < list.count; ++i)
    if (is_legal(list.moves[i])) return true;
  return false;
}

bool Board::in_check() const {
  const int king = lowest_or_none(bitboards[piece_of(side, 5)]);
  return square_attacked_by(king, side ^ 1) == 1;
}

StepResult Board::step(int action) {
  just_reset = 0;
  get_actions();
  const auto found = move_index.find(action);
  if (found == move_index.end()) throw std::invalid_argument("Invalid action");
  make_move(found->second);
  record_state();
  total_move_count = wrapping_add(total_move_count, 1);
  Observation observation = build_observation();

  const bool check = in_check();
  int reward = 0, done = 0;
  if (has_legal_move()) {
    // Draws are judged only while a move remains: a mate or stalemate that also repeats
    // a position ends the game as mate or stalemate.
    if (n_repititions == 2 || no_progress_count >= kNoProgressLimit) done = 1;
  } else {
    done = 1;
    if (check) reward = side == kBlack ? 1 : -1;
  }
  return {side, std::move(observation), reward, done};
}

int Board::roll_out() {
  std::random_device source;
  std::mt19937 engine(source());
  int result = 0;
  std::vector<int> candidates;
  candidates.reserve(256);
  for (int i = 0; i < kRollOutSteps; ++i) {
    const auto mask = get_actions();
    candidates.clear();
    for (int plane = 0; plane < kPlanes; ++plane)
      for (int square = 0; square < 64; ++square)
        if (mask[plane][square] == 1) candidates.push_back(64 * plane + square);
    // A finished game has nothing to draw from: the roll-out ends where it stands.
    if (candidates.empty()) break;
    const auto pick = uniform_below(engine, static_cast<std::uint32_t>(candidates.size()));
    const StepResult outcome = step(candidates[pick]);
    result = std::get<2>(outcome);
    if (std::get<3>(outcome) == 1) break;
  }
  return result;
}

}  // namespace vantor
