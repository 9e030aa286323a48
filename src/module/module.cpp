// The vantor extension module: registration of State and Vantor, and the conversions
// between Python objects and engine values. No chess logic lives here.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <array>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

#include "engine/board.h"
#include "engine/snapshot.h"
#include "module/conversions.h"

namespace py = pybind11;

namespace {

// Forwards the symbol board to Python's print, so it reaches sys.stdout.
class PythonPrinter final : public vantor::SymbolPrinter {
 public:
  void print(std::string_view text, bool line_break) override {
    if (line_break) {
      py::print(py::str(text.data(), text.size()));
    } else {
      py::print(py::str(text.data(), text.size()), py::arg("end") = "");
    }
  }
};

void render(const vantor::Board& board) {
  PythonPrinter printer;
  board.render(printer);
}

// A new NumPy array holding a copy of the sets; NumPy is imported on the first call.
template <std::size_t N>
py::array_t<std::uint64_t> to_array(const std::array<std::uint64_t, N>& sets) {
  return py::array_t<std::uint64_t>(static_cast<py::ssize_t>(N), sets.data());
}

std::string state_repr(const vantor::State& s) {
  return "State(\n  side=" + std::to_string(s.side) + ",\n  enpassant=" + std::to_string(s.enpassant) +
         ",\n  castle=" + std::to_string(s.castle) + ",\n  state_pos=" + std::to_string(s.state_pos) +
         ",\n  total_move_count=" + std::to_string(s.total_move_count) +
         ",\n  no_progress_count=" + std::to_string(s.no_progress_count) +
         ",\n  n_repititions=" + std::to_string(s.n_repititions) +
         ",\n  state_history size=" + std::to_string(s.state_history.size()) + "\n)";
}

// The argument admits None, which arrives as a null pointer: there is no State behind
// it, reported as a RuntimeError with an empty message and nothing touched. The engine
// receives its own copy, so the caller's State never changes.
vantor::StepResult restore_state(vantor::Board& board, const vantor::State* snapshot) {
  if (snapshot == nullptr) throw std::runtime_error("");
  return board.restore_state(*snapshot);
}

void register_classes(py::module_& m) {
  using vantor::State;
  // State comes first so that signatures naming it read vantor.State.
  py::class_<State>(m, "State")
      .def(py::init<>())
      .def_property_readonly("side", [](const State& s) { return s.side; })
      .def_property_readonly("enpassant", [](const State& s) { return s.enpassant; })
      .def_property_readonly("castle", [](const State& s) { return s.castle; })
      .def_readwrite("state_history", &State::state_history)
      .def_readwrite("state_pos", &State::state_pos)
      .def_readwrite("total_move_count", &State::total_move_count)
      .def_readwrite("no_progress_count", &State::no_progress_count)
      .def_readwrite("repetition_count", &State::repetition_count)
      .def_readwrite("move_index", &State::move_index)
      .def_readwrite("n_repititions", &State::n_repititions)
      .def_readwrite("prev_n_repititions", &State::prev_n_repititions)
      .def_property_readonly("bitboards", [](const State& s) { return to_array(s.bitboards); })
      .def_property_readonly("occupancies", [](const State& s) { return to_array(s.occupancies); })
      .def("__repr__", &state_repr);

  py::class_<vantor::Board>(m, "Vantor")
      .def(py::init<>())
      .def("reset", &vantor::Board::reset)
      .def("get_actions", &vantor::Board::get_actions)
      .def("render", &render)
      .def("parse_fen", [](vantor::Board& board, std::string_view fen) { board.parse_fen(fen); })
      .def("step", &vantor::Board::step)
      .def("save_state", &vantor::Board::save_state)
      .def("restore_state", &restore_state)
      .def("hash_state", &vantor::Board::hash_state)
      .def("roll_out", &vantor::Board::roll_out);
}

}  // namespace

// The entry is pybind11's multi-phase module definition, written out so that the GIL
// slot is declared on every build: pybind11 adds Py_mod_gil only when compiling for a
// free-threaded interpreter, and a default build would then carry no trace of the
// declaration. A GIL-enabled interpreter accepts the slot and ignores it.
static int pybind11_exec_vantor(PyObject*);

PYBIND11_PLUGIN_IMPL(vantor) {
  PYBIND11_CHECK_PYTHON_VERSION
  try {
    py::detail::ensure_internals();
    static PyModuleDef_Slot slots[] = {
        {Py_mod_create, reinterpret_cast<void*>(&py::detail::cached_create_module)},
        {Py_mod_exec, reinterpret_cast<void*>(&pybind11_exec_vantor)},
        {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
        {Py_mod_gil, Py_MOD_GIL_NOT_USED},
        {0, nullptr},
    };
    static PyModuleDef def{PyModuleDef_HEAD_INIT, "vantor", nullptr, 0, nullptr, slots,
                           nullptr, nullptr, nullptr};
    return PyModuleDef_Init(&def);
  }
  PYBIND11_CATCH_INIT_EXCEPTIONS
  return nullptr;
}

PYBIND11_MODULE_EXEC(vantor, m) { register_classes(m); }
