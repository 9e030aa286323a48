// The vantor extension module: registration of State and Vantor, and the conversions
// between Python objects and engine values. No chess logic lives here.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <memory>
#include <string_view>

#include "engine/board.h"
#include "engine/snapshot.h"

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

void register_classes(py::module_& m) {
  // State comes first so that signatures naming it read vantor.State.
  py::class_<vantor::State>(m, "State")
      .def(py::init<>());

  py::class_<vantor::Board>(m, "Vantor")
      .def(py::init<>())
      .def("reset", &vantor::Board::reset)
      .def("get_actions", &vantor::Board::get_actions)
      .def("render", &render)
      .def("parse_fen", [](vantor::Board& board, std::string_view fen) { board.parse_fen(fen); })
      .def("step", &vantor::Board::step)
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
