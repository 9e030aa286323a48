// Legal actions: every pseudo-legal move is tried and taken back, and each legal one is
// marked in the mask under its action number.
#include "engine/actions.h"

#include <algorithm>

#include "engine/attacks.h"
#include "engine/board.h"

namespace vantor {

namespace {

int sign(int x) { return (x > 0) - (x < 0); }

// Direction number by (sign of dr, sign of dc), each shifted to 0..2.
constexpr int kDirections[3][3] = {
    {0, 1, 2},   // dr < 0: forward-left, forward, forward-right
    {7, -1, 3},  // dr = 0: left, (none), right
    {6, 5, 4},   // dr > 0: back-left, back, back-right
};

int knight_plane(int source, int target) {
  const int jump = source - target;
  for (int i = 0; i < 8; ++i)
    if (kKnightJumps[i] == jump) return kKnightPlanes + i;
  return -1;
}

}  // namespace

std::pair<int, int> Board::move_direction(int source, int target) const {
  if (source == target) return {-1, -1};
  int dr = row_of(target) - row_of(source);
  int dc = column_of(target) - column_of(source);
  if (side != kWhite) {
    dr = -dr;
    dc = -dc;
  }
  const int distance = std::max(dr < 0 ? -dr : dr, dc < 0 ? -dc : dc);
  return {distance, kDirections[sign(dr) + 1][sign(dc) + 1]};
}

int Board::is_legal(int move) {
  const int progress_before = no_progress_count;
  if (!make_move(move)) return 0;
  take_back();
  no_progress_count = progress_before;
  return 1;
}

int Board::action_of(int move) const {
  const int source = move_source(move);
  const int target = move_target(move);
  const int promoted = move_promoted(move);
  int plane;
  if (kind_of(move_piece(move)) == 1) {
    plane = knight_plane(source, target);
  } else if (promoted && kind_of(promoted) != 4) {
    plane = kUnderPromotionPlanes + 3 * move_direction(source, target).second + kind_of(promoted) - 1;
  } else {
    const auto [distance, direction] = move_direction(source, target);
    plane = 7 * direction + distance - 1;
  }
  return 64 * plane + source;
}

Bitboard Board::sources_to_try() const {
  const int king = lowest_or_none(bitboards[piece_of(side, 5)]);
  if (king < 0) return 0;  // without a king every move is legal
  Bitboard white = 0, black = 0;
  for (int code = 0; code < 6; ++code) white |= bitboards[code];
  for (int code = 6; code < 12; ++code) black |= bitboards[code];
  // The reasoning below reads lines through the occupancy sets, which make_move rebuilds
  // from the piece sets; where the two could disagree, every move is tried.
  if (white != occupancies[kWhite] || black != occupancies[kBlack] ||
      (white | black) != occupancies[kBothSides] || square_attacked_by(king, side ^ 1))
    return ~Bitboard{0};
  // Not in check, a move that is neither the king's nor en passant leaves the leapers'
  // attacks as they were and clears only its own source square, so it can expose the
  // king only if it stood alone between the king and an enemy slider.
  const int enemy = side ^ 1;
  const Bitboard queens = bitboards[piece_of(enemy, 4)];
  Bitboard snipers =
      (lookup_rook_attacks(king, occupancies[enemy]) & (bitboards[piece_of(enemy, 3)] | queens)) |
      (lookup_bishop_attacks(king, occupancies[enemy]) & (bitboards[piece_of(enemy, 2)] | queens));
  Bitboard pinned = 0;
  while (snipers) {
    const Bitboard between = squares_between(king, pop_lowest(snipers)) & occupancies[kBothSides];
    if (count(between) == 1) pinned |= between & occupancies[side];
  }
  return pinned;
}

void Board::list_legal(ActionList& legal) {
  MoveList list;
  generate_moves(list);
  legal.count = 0;
  const Bitboard to_try = sources_to_try();
  for (int i = 0; i < list.count; ++i) {
    const int move = list.moves[i];
    // Moves that cannot expose the king are legal as generated; the rest are played and
    // taken back.
    const bool safe = !has(to_try, move_source(move)) && kind_of(move_piece(move)) != 5 &&
                      !move_is_enpassant(move);
    if (!safe && !is_legal(move)) continue;
    legal.actions[legal.count] = action_of(move);
    legal.moves[legal.count] = move;
    ++legal.count;
  }
}

void Board::index_actions(const ActionList& legal) {
  move_index.clear();
  for (int i = 0; i < legal.count; ++i) move_index[legal.actions[i]] = legal.moves[i];
}

ActionMask Board::get_actions() {
  ActionMask mask;
  ActionList legal;
  list_legal(legal);
  index_actions(legal);
  for (int i = 0; i < legal.count; ++i) mask.mark(legal.actions[i]);
  return mask;
}

}  // namespace vantor
