// Pseudo-legal move generation and making a move.
#include "engine/attacks.h"
#include "engine/board.h"
#include "engine/movegen.h"

namespace vantor {

namespace {

// Promotion pieces in the order the generator lists them: queen, rook, bishop, knight.
constexpr int kPromotionKinds[] = {4, 3, 2, 1};

void add_promotions(MoveList& list, int source, int target, int side, int flags) {
  for (int kind : kPromotionKinds)
    list.add(encode_move(source, target, piece_of(side, 0), piece_of(side, kind), flags));
}

// The squares from a to b, both included, of one rank.
constexpr Bitboard rank_span(int a, int b) {
  const int low = a < b ? a : b, high = a < b ? b : a;
  return (bit(high) << 1) - bit(low);  // bit(63) << 1 wraps to 0, which still gives the span
}

struct CastlingRule {
  int right;
  int rook_square;
  Bitboard must_be_empty;
  int king_square, passed_square;  // must not be attacked
  int move;
};

constexpr CastlingRule kCastlingRules[2][2] = {
    {{kWhiteKingSide, h1, bit(f1) | bit(g1), e1, f1, kWhiteCastleKingSide},
     {kWhiteQueenSide, a1, bit(b1) | bit(c1) | bit(d1), e1, d1, kWhiteCastleQueenSide}},
    {{kBlackKingSide, h8, bit(f8) | bit(g8), e8, f8, kBlackCastleKingSide},
     {kBlackQueenSide, a8, bit(b8) | bit(c8) | bit(d8), e8, d8, kBlackCastleQueenSide}},
};

}  // namespace

bool Board::en_passant_open() const {
  // In play the en-passant square lies on the mover's sixth rank, empty, with the enemy
  // pawn that just passed it one step beyond. FEN text can name any square, and a
  // capture elsewhere would take nothing or share its action with an ordinary capture,
  // so the square must look like that.
  const int forward = side == kWhite ? -8 : 8;
  return on_board(enpassant) && row_of(enpassant) == (side == kWhite ? 2 : 5) &&
         !has(occupancies[kBothSides], enpassant) && has(bitboards[piece_of(side ^ 1, 0)], enpassant - forward);
}

bool Board::en_passant_legal() const {
  if (!en_passant_open()) return false;
  const int them = side ^ 1;
  const int captured = side == kWhite ? enpassant + 8 : enpassant - 8;
  const int king = lowest_or_none(bitboards[piece_of(side, 5)]);
  const Bitboard* their = &bitboards[piece_of(them, 0)];
  // The capture is tested without being made: only the three squares it changes can open
  // or close a line to the king, and only the captured pawn leaves the attackers.
  for (Bitboard pawns = pawn_attack_table[them][enpassant] & bitboards[piece_of(side, 0)]; pawns;) {
    const int source = pop_lowest(pawns);
    if (!on_board(king)) return true;
    const Bitboard occupied = (occupancies[kBothSides] & ~bit(source) & ~bit(captured)) | bit(enpassant);
    const bool attacked = (pawn_attack_table[side][king] & their[0] & ~bit(captured)) ||
                          (knight_attack_table[king] & their[1]) || (king_attack_table[king] & their[5]) ||
                          (lookup_bishop_attacks(king, occupied) & (their[2] | their[4])) ||
                          (lookup_rook_attacks(king, occupied) & (their[3] | their[4]));
    if (!attacked) return true;
  }
  return false;
}

void Board::generate_pawn_moves(MoveList& list) const {
  const int pawn = piece_of(side, 0);
  const int forward = side == kWhite ? -8 : 8;
  // Squares a pawn of the mover stands on one step before promoting, or before its
  // double step.
  const Bitboard seventh = side == kWhite ? 0x000000000000ff00ULL : 0x00ff000000000000ULL;
  const Bitboard second = side == kWhite ? 0x00ff000000000000ULL : 0x000000000000ff00ULL;
  const Bitboard enemies = occupancies[side ^ 1];
  const bool en_passant = en_passant_open();
  for (Bitboard pawns = bitboards[pawn]; pawns;) {
    const int source = pop_lowest(pawns);
    const int target = source + forward;
    if (on_board(target) && !has(occupancies[kBothSides], target)) {
      if (has(seventh, source)) {
        add_promotions(list, source, target, side, 0);
      } else {
        list.add(encode_move(source, target, pawn, 0, 0));
        const int two_ahead = target + forward;
        if (has(second, source) && !has(occupancies[kBothSides], two_ahead))
          list.add(encode_move(source, two_ahead, pawn, 0, kDoublePushFlag));
      }
    }
    const Bitboard reach = pawn_attack_table[side][source];
    for (Bitboard captures = reach & enemies; captures;) {
      const int to = pop_lowest(captures);
      if (has(seventh, source)) {
        add_promotions(list, source, to, side, kCaptureFlag);
      } else {
        list.add(encode_move(source, to, pawn, 0, kCaptureFlag));
      }
    }
    if (en_passant && has(reach, enpassant))
      list.add(encode_move(source, enpassant, pawn, 0, kCaptureFlag | kEnPassantFlag));
  }
}

void Board::generate_castling(MoveList& list) const {
  // In play a right bit means king and rook are at home, but FEN text can grant a right
  // without them; castling then would conjure a king or rook out of nothing (and share
  // its action with another piece's move), so the pieces are checked too. The target
  // square is left to the legality test of make_move.
  const int king = piece_of(side, 5), rook = piece_of(side, 3);
  for (const CastlingRule& rule : kCastlingRules[side]) {
    if (!(castle & rule.right)) continue;
    if (!has(bitboards[king], rule.king_square) || !has(bitboards[rook], rule.rook_square)) continue;
    if (occupancies[kBothSides] & rule.must_be_empty) continue;
    if (square_attacked_by(rule.king_square, side ^ 1)) continue;
    if (square_attacked_by(rule.passed_square, side ^ 1)) continue;
    list.add(rule.move);
  }
}

void Board::generate_castling960(MoveList& list) const {
  // The king and the rook may start anywhere on the back rank, the king between them.
  // Every square either passes over or lands on must be empty but for the two of them,
  // and the king may not stand on, pass over or land on an attacked square; the landing
  // square is left to make_move's legality test, which sees the rook gone from its line.
  const int king_piece = piece_of(side, 5), rook_piece = piece_of(side, 3);
  const int king = lowest_or_none(bitboards[king_piece]);
  if (king < 0 || row_of(king) != back_row(side)) return;
  const int base = square_at(back_row(side), 0);
  for (int right = 2 * side; right < 2 * side + 2; ++right) {
    if (!((castle >> right) & 1)) continue;
    const int rook = castling.rooks[static_cast<std::size_t>(right)];
    const bool h_side = right % 2 == 0;
    if (!has(bitboards[rook_piece], rook) || (column_of(rook) > column_of(king)) != h_side) continue;
    const int king_to = base + (h_side ? 6 : 2), rook_to = base + (h_side ? 5 : 3);
    const Bitboard king_path = rank_span(king, king_to), rook_path = rank_span(rook, rook_to);
    if ((king_path | rook_path) & occupancies[kBothSides] & ~bit(king) & ~bit(rook)) continue;
    bool attacked = false;
    for (Bitboard passed = king_path; passed && !attacked;) attacked = square_attacked_by(pop_lowest(passed), side ^ 1);
    if (!attacked) list.add(encode_move(king, rook, king_piece, 0, kCastlingFlag));
  }
}

void Board::finish_castling960(int king_source, int rook_square) {
  // make_move has put the king on the rook's square; both go to their castled squares,
  // each taken off before it is put down, as the squares may coincide.
  const int base = square_at(back_row(side), 0);
  const bool h_side = column_of(rook_square) > column_of(king_source);
  const int king_piece = piece_of(side, 5), rook_piece = piece_of(side, 3);
  bitboards[king_piece] = (bitboards[king_piece] & ~bit(rook_square)) | bit(base + (h_side ? 6 : 2));
  bitboards[rook_piece] = (bitboards[rook_piece] & ~bit(rook_square)) | bit(base + (h_side ? 5 : 3));
}

void Board::generate_piece_moves(MoveList& list, int piece) const {
  const Bitboard own = occupancies[side];
  const Bitboard enemies = occupancies[side ^ 1];
  const Bitboard all = occupancies[kBothSides];
  for (Bitboard pieces = bitboards[piece]; pieces;) {
    const int source = pop_lowest(pieces);
    Bitboard targets = 0;
    switch (kind_of(piece)) {
      case 1: targets = knight_attack_table[source]; break;
      case 2: targets = lookup_bishop_attacks(source, all); break;
      case 3: targets = lookup_rook_attacks(source, all); break;
      case 4: targets = lookup_queen_attacks(source, all); break;
      default: targets = king_attack_table[source]; break;
    }
    for (targets &= ~own; targets;) {
      const int target = pop_lowest(targets);
      list.add(encode_move(source, target, piece, 0, has(enemies, target) ? kCaptureFlag : 0));
    }
  }
}

void Board::generate_moves(MoveList& list) const {
  list.count = 0;
  const int first = piece_of(side, 0);
  generate_pawn_moves(list);
  for (int piece = first + 1; piece < first + 5; ++piece) generate_piece_moves(list, piece);
  if (castling.chess960) {
    generate_castling960(list);
  } else {
    generate_castling(list);
  }
  generate_piece_moves(list, first + 5);
}

void Board::save_position() {
  saved_bitboards = bitboards;
  saved_occupancies = occupancies;
  saved_side = side;
  saved_castle = castle;
  saved_enpassant = enpassant;
}

void Board::take_back() {
  bitboards = saved_bitboards;
  occupancies = saved_occupancies;
  side = saved_side;
  castle = saved_castle;
  enpassant = saved_enpassant;
}

void Board::remove_captured(int target) {
  const int first = piece_of(side ^ 1, 0);
  for (int piece = first; piece < first + 6; ++piece) {
    if (has(bitboards[piece], target)) {
      bitboards[piece] &= ~bit(target);
      return;
    }
  }
}

void Board::move_castling_rook(int king_source, int target) {
  if (castling.chess960) return finish_castling960(king_source, target);
  switch (target) {
    case g1: bitboards[kWhiteRook] = (bitboards[kWhiteRook] & ~bit(h1)) | bit(f1); break;
    case c1: bitboards[kWhiteRook] = (bitboards[kWhiteRook] & ~bit(a1)) | bit(d1); break;
    case g8: bitboards[kBlackRook] = (bitboards[kBlackRook] & ~bit(h8)) | bit(f8); break;
    case c8: bitboards[kBlackRook] = (bitboards[kBlackRook] & ~bit(a8)) | bit(d8); break;
    default: break;
  }
}

int Board::make_move(int move) {
  save_position();
  const int progress_before = no_progress_count;
  // The clock before the one every move adds: a pawn move or capture counts itself under
  // the module's rules.
  const int zeroed = rules == Rules::module ? 0 : -1;
  const int source = move_source(move);
  const int target = move_target(move);
  const int piece = move_piece(move);
  const int promoted = move_promoted(move);

  if (kind_of(piece) == 0) no_progress_count = zeroed;
  bitboards[piece] = (bitboards[piece] & ~bit(source)) | bit(target);
  if (move_is_capture(move)) {
    no_progress_count = zeroed;
    remove_captured(target);
  }
  if (promoted) {
    no_progress_count = zeroed;
    bitboards[piece_of(side, 0)] &= ~bit(target);
    bitboards[promoted] |= bit(target);
  }
  if (move_is_enpassant(move)) {
    no_progress_count = zeroed;
    // The captured pawn stands behind the target square, seen from the mover.
    if (side == kWhite) {
      bitboards[kBlackPawn] &= ~bit(target + 8);
    } else {
      bitboards[kWhitePawn] &= ~bit(target - 8);
    }
  }
  enpassant = kNoSquare;
  if (move_is_double_push(move)) {
    no_progress_count = zeroed;
    enpassant = side == kWhite ? target + 8 : target - 8;
  }
  if (move_is_castling(move)) move_castling_rook(source, target);
  castle &= castling.kept[static_cast<std::size_t>(source)] & castling.kept[static_cast<std::size_t>(target)];
  update_occupancies();
  side ^= 1;
  no_progress_count = wrapping_add(no_progress_count, 1);

  const int king = lowest_or_none(bitboards[piece_of(side ^ 1, 5)]);
  if (square_attacked_by(king, side)) {
    take_back();
    no_progress_count = progress_before;
    return 0;
  }
  return 1;
}

}  // namespace vantor
