// The rules that end a game and keep its half-move clock, and the ways a game can end.
#pragma once

#include <cstdint>
#include <string_view>

namespace vantor {

// module     the module's own rules: a pawn move or capture sets the clock to 1 (it counts
//            the move itself), fifty half-moves draw, a position counted exactly a third
//            time by hash_state draws, and material never does.
// standard   chess with every claimable draw taken at once (as OpenSpiel and pgx end a
//            game): the clock as FEN counts it (0 after a pawn move or capture), fifty
//            moves of each side (100 half-moves), a third occurrence of a position, and
//            insufficient material (neither side can mate by any series of moves).
// automatic  chess with only the draws nobody claims: seventy-five moves of each side
//            (150 half-moves), a fifth occurrence, insufficient material.
// Under standard and automatic rules positions are counted by position_key, which tells
// piece codes apart and counts an en-passant square only where the capture is legal.
enum class Rules : std::uint8_t { module, standard, automatic };

inline constexpr std::string_view kRulesNames[] = {"module", "standard", "automatic"};

constexpr std::string_view name_of(Rules rules) { return kRulesNames[static_cast<int>(rules)]; }

// The clock value that ends a game (when the side to move has a move).
constexpr std::int32_t halfmove_limit(Rules rules) {
  return rules == Rules::module ? 50 : rules == Rules::standard ? 100 : 150;
}

// The repetition value (occurrences before this one) that ends a game.
constexpr std::int32_t repetition_limit(Rules rules) { return rules == Rules::automatic ? 4 : 2; }

// How a game ended; none while it goes on. The codes are stored in outputs and named in
// Python (vantor_gym.rules.ENDINGS), so they only ever grow.
enum class Ending : std::int8_t {
  none = 0,
  checkmate = 1,
  stalemate = 2,
  insufficient_material = 3,
  fifty_moves = 4,   // the module's fifty half-moves, or chess's fifty moves of each side
  repetition = 5,    // a third occurrence
  seventyfive_moves = 6,
  fivefold_repetition = 7,
};

// (reward from white's side, ending) of a position as a step into it judges it.
struct Outcome {
  int reward = 0;
  Ending ending = Ending::none;
  bool over() const { return ending != Ending::none; }
};

}  // namespace vantor
