// Notation in vantor_gym._native: the legal moves of a vantor.State with their texts,
// its FEN position fields, and what FEN checking needs to know of a position.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <string>
#include <tuple>
#include <vector>

#include "module/guarded.h"
#include "module/native.h"
#include "notation/notation.h"
#include "notation/pgn.h"

namespace py = pybind11;

namespace vantor::module {

namespace {

using Snapshot = Guarded<State>;

// The position fields, copied under the State's lock; the side indexes the piece sets, so
// an edited one is refused here.
notation::Position position_of(const Snapshot& snapshot) {
  const notation::Position position = locked(snapshot, [](const State& s) {
    return notation::Position{s.bitboards, s.occupancies, s.side, s.castle, s.enpassant};
  });
  if (position.side != kWhite && position.side != kBlack)
    throw py::value_error("side must be 0 or 1, got " + std::to_string(position.side));
  return position;
}

// A snapshot's position under the castling of its game.
notation::Position position_of(const Snapshot& snapshot, bool chess960) {
  const notation::Position position = position_of(snapshot);
  return chess960 ? notation::as_chess960(position) : position;
}

}  // namespace

std::vector<std::tuple<int, std::string, std::string>> move_texts(const notation::Position& position) {
  std::vector<notation::MoveText> moves;
  {
    py::gil_scoped_release detached;
    moves = notation::legal_moves(position);
  }
  std::vector<std::tuple<int, std::string, std::string>> out;
  out.reserve(moves.size());
  for (auto& m : moves) out.emplace_back(m.action, std::move(m.uci), std::move(m.san));
  return out;
}

namespace {

// The games of UTF-8 PGN text, read without the GIL: (actions, spans, results, headers),
// spans holding each game's byte begin and end, first action, action count, whether it
// was replayed (0 leaves the game to the caller; 2: from the FEN header's position, which the
// caller checks) and whether its Variant header names Chess960.
py::tuple pgn_games(const py::bytes& data) {
  const std::string_view text = data;  // bytes are immutable, so the view outlives the release
  notation::PgnBatch batch;
  {
    py::gil_scoped_release detached;
    batch = notation::read_pgn_games(text);
  }
  const auto n = static_cast<py::ssize_t>(batch.games.size());
  py::array_t<std::int64_t> actions(static_cast<py::ssize_t>(batch.actions.size()));
  std::copy(batch.actions.begin(), batch.actions.end(), actions.mutable_data());
  py::array_t<std::int64_t> spans({n, py::ssize_t{6}});
  auto out = spans.mutable_unchecked<2>();
  py::list results(n), headers(n);
  for (py::ssize_t i = 0; i < n; ++i) {
    const notation::PgnRecord& game = batch.games[static_cast<std::size_t>(i)];
    out(i, 0) = static_cast<std::int64_t>(game.begin);
    out(i, 1) = static_cast<std::int64_t>(game.end);
    out(i, 2) = static_cast<std::int64_t>(game.first_action);
    out(i, 3) = static_cast<std::int64_t>(game.action_count);
    out(i, 4) = game.replayed ? (game.from_fen ? 2 : 1) : 0;
    out(i, 5) = game.chess960 ? 1 : 0;
    results[static_cast<std::size_t>(i)] = game.result.empty() ? py::object(py::none()) : py::str(game.result);
    py::dict tags;  // a repeated name keeps its first place and its last value, as a dict fills
    for (const auto& [name, value] : game.headers) {
      const auto size = static_cast<py::ssize_t>(value.size());
      PyObject* decoded = PyUnicode_DecodeUTF8(value.data(), size, "surrogatepass");
      if (decoded == nullptr && PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) {
        // Bytes that are not UTF-8: the caller refuses the game, so any text does here.
        PyErr_Clear();
        decoded = PyUnicode_DecodeUTF8(value.data(), size, "replace");
      }
      if (decoded == nullptr) throw py::error_already_set();
      tags[py::str(name)] = py::reinterpret_steal<py::object>(decoded);
    }
    headers[static_cast<std::size_t>(i)] = std::move(tags);
  }
  return py::make_tuple(std::move(actions), std::move(spans), std::move(results), std::move(headers));
}

}  // namespace

void register_notation(py::module_& m) {
  m.def(
      "legal_moves", [](const Snapshot& s, bool chess960) { return move_texts(position_of(s, chess960)); },
      py::arg("state"), py::arg("chess960") = false,
      "(action, UCI, SAN) of every legal move of the state's position, in generation order; with chess960, "
      "castling as Chess960's (each right for the outermost rook on its side).");
  m.def(
      "position_fields",
      [](const Snapshot& s, bool legal_en_passant, bool chess960) {
        return notation::position_fields(position_of(s, chess960), legal_en_passant);
      },
      py::arg("state"), py::arg("legal_en_passant") = false, py::arg("chess960") = false,
      "The placement, side, castling and en-passant fields of FEN text for the state's position; with "
      "legal_en_passant, an en-passant square only where the capture is legal, as chess's FEN writers give it.");
  m.def(
      "position_facts",
      [](const std::string& fen, bool chess960) {
        const notation::PositionFacts f = notation::position_facts(fen, chess960);
        return std::make_tuple(f.opponent_in_check, f.checkers, f.impossible_check, f.legal_moves,
                               f.insufficient_material);
      },
      py::arg("fen"), py::arg("chess960") = false,
      "(side not to move in check, checkers of the side to move, impossible check, legal moves, insufficient "
      "material) of the position that the engine reads from the first four fields of FEN text.");
  m.def(
      "chess960_fen",
      [](int number) {
        if (number < 0 || number >= kChess960Starts)
          throw py::value_error("a Chess960 start number is in 0 .. 959, not " + std::to_string(number));
        return chess960_fen(number);
      },
      py::arg("number"), "The FEN text of Chess960 start number (Scharnagl's numbering; 518 is the standard start).");
  m.def("chess960_number", [](std::string_view rank) { return chess960_number(rank); }, py::arg("back_rank"),
        "The start number of a white back rank such as 'RNBQKBNR', or -1 when it is no Chess960 start.");
  m.def("read_pgn_games", &pgn_games, py::arg("data"),
        "(actions, spans, results, headers) of the games of UTF-8 PGN text: spans rows are (byte begin, byte end, "
        "first action, action count, replayed: 0 no, 1 from the initial position, 2 from the FEN header's first four fields, to be checked as FEN; and Chess960: 1 for a game whose Variant header names it), results the movetext result tokens (None when missing).");
}

}  // namespace vantor::module
