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
#include <type_traits>
#include <utility>

#include "engine/board.h"
#include "engine/snapshot.h"
#include "module/conversions.h"
#include "module/guarded.h"

namespace py = pybind11;

namespace {

using vantor::Board;
using vantor::State;
using Environment = vantor::module::Guarded<Board>;
using Snapshot = vantor::module::Guarded<State>;
using vantor::module::locked;

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

// Printing calls Python, which may call back into this very environment (a sys.stdout
// that steps it, say), so a copy taken under the lock is printed without it.
void render(const Environment& env) {
  const Board board = locked(env, [](const Board& b) { return b; });
  PythonPrinter printer;
  board.render(printer);
}

// A new NumPy array holding a copy of the sets; NumPy is imported on the first call.
template <std::size_t N>
py::array_t<std::uint64_t> to_array(const std::array<std::uint64_t, N>& sets) {
  return py::array_t<std::uint64_t>(static_cast<py::ssize_t>(N), sets.data());
}

std::string state_repr(const State& s) {
  return "State(\n  side=" + std::to_string(s.side) + ",\n  enpassant=" + std::to_string(s.enpassant) +
         ",\n  castle=" + std::to_string(s.castle) + ",\n  state_pos=" + std::to_string(s.state_pos) +
         ",\n  total_move_count=" + std::to_string(s.total_move_count) +
         ",\n  no_progress_count=" + std::to_string(s.no_progress_count) +
         ",\n  n_repititions=" + std::to_string(s.n_repititions) +
         ",\n  state_history size=" + std::to_string(s.state_history.size()) + "\n)";
}

// The argument admits None, which arrives as a null pointer: there is no State behind
// it, reported as a RuntimeError with an empty message and nothing touched. The engine
// receives its own copy, taken under the State's lock and released before the board's
// is taken, so the two locks are never held together.
vantor::StepResult restore_state(Environment& env, const Snapshot* snapshot) {
  if (snapshot == nullptr) throw std::runtime_error("");
  State copy = locked(*snapshot, [](const State& s) { return s; });
  return locked(env, [&](Board& b) { return b.restore_state(std::move(copy)); });
}

// A member read as a copy taken under the lock and converted after it; written from a
// value converted before the lock is taken.
template <auto Field>
auto read(const Snapshot& s) {
  return locked(s, [](const State& v) { return v.*Field; });
}

template <auto Field, class Value = std::remove_cvref_t<decltype(std::declval<State&>().*Field)>>
void write(Snapshot& s, Value value) {
  locked(s, [&](State& v) { v.*Field = std::move(value); });
}

// The setter is made as pybind11 makes a plain member's, so its signature reads the same.
template <auto Field>
void read_write(py::class_<Snapshot>& cls, const char* name) {
  cls.def_property(name, &read<Field>, py::cpp_function(&write<Field>, py::is_method(cls)));
}

// The getter carries the field's name, which Python's refusal to assign names.
template <class Getter>
void read_only(py::class_<Snapshot>& cls, const char* name, Getter getter) {
  cls.def_property_readonly(name, py::cpp_function(getter, py::name(name)));
}

// Every method converts, runs one Board operation under the environment's lock, and
// converts the result after the lock is released.
template <auto Method>
auto call(Environment& env) {
  return locked(env, [](Board& b) { return (b.*Method)(); });
}

void register_classes(py::module_& m) {
  // State comes first so that signatures naming it read vantor.State.
  py::class_<Snapshot> state(m, "State", py::is_final());
  state.def(py::init<>());
  read_only(state, "side", &read<&State::side>);
  read_only(state, "enpassant", &read<&State::enpassant>);
  read_only(state, "castle", &read<&State::castle>);
  read_write<&State::state_history>(state, "state_history");
  read_write<&State::state_pos>(state, "state_pos");
  read_write<&State::total_move_count>(state, "total_move_count");
  read_write<&State::no_progress_count>(state, "no_progress_count");
  read_write<&State::repetition_count>(state, "repetition_count");
  read_write<&State::move_index>(state, "move_index");
  read_write<&State::n_repititions>(state, "n_repititions");
  read_write<&State::prev_n_repititions>(state, "prev_n_repititions");
  read_only(state, "bitboards", [](const Snapshot& s) { return to_array(read<&State::bitboards>(s)); });
  read_only(state, "occupancies", [](const Snapshot& s) { return to_array(read<&State::occupancies>(s)); });
  state.def("__repr__", [](const Snapshot& s) { return locked(s, &state_repr); });

  py::class_<Environment> vantor(m, "Vantor", py::is_final());
  vantor.def(py::init<>())
      .def("reset", &call<&Board::reset>)
      .def("get_actions", &call<&Board::get_actions>)
      .def("render", &render)
      .def("parse_fen",
           [](Environment& env, std::string_view fen) { locked(env, [&](Board& b) { b.parse_fen(fen); }); })
      .def("step", [](Environment& env, int action) { return locked(env, [&](Board& b) { return b.step(action); }); })
      .def("save_state", [](Environment& env) { return Snapshot(locked(env, [](Board& b) { return b.save_state(); })); })
      .def("restore_state", &restore_state)
      .def("hash_state", &call<&Board::hash_state>)
      // A roll-out is long pure engine work: other threads run meanwhile.
      .def("roll_out", [](Environment& env) {
        return vantor::module::locked_detached(env, [](Board& b) { return b.roll_out(); });
      });

  vantor::module::seal(state);
  vantor::module::seal(vantor);
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
