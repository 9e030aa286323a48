// Conversions of engine values to Python objects that pybind11 has no caster for.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>

#include "engine/actions.h"
#include "engine/types.h"

namespace vantor::module {

// A new list of planes, each a new list of 64 ints, built directly. Planes are mostly
// runs of one value (constant planes, empty squares), so a run shares one int object:
// ints are immutable, and a constant plane holding the step count then costs one int
// instead of 64.
inline pybind11::handle planes_to_list(const std::int32_t* values, int planes) {
  PyObject* outer = PyList_New(planes);
  if (outer == nullptr) throw pybind11::error_already_set();
  for (int p = 0; p < planes; ++p) {
    PyObject* row = PyList_New(kSquares);
    if (row == nullptr) {
      Py_DECREF(outer);
      throw pybind11::error_already_set();
    }
    PyList_SET_ITEM(outer, p, row);
    std::int32_t last = 0;
    PyObject* last_object = nullptr;
    for (int s = 0; s < kSquares; ++s) {
      const std::int32_t v = values[kSquares * p + s];
      if (last_object == nullptr || v != last) {
        last_object = PyLong_FromLong(v);
        if (last_object == nullptr) {
          Py_DECREF(outer);
          throw pybind11::error_already_set();
        }
        last = v;
      } else {
        Py_INCREF(last_object);
      }
      PyList_SET_ITEM(row, s, last_object);
    }
  }
  return outer;
}

// The mask as 73 new lists of 64 ints, 1 for a legal action and 0 elsewhere.
inline pybind11::handle mask_to_list(const ActionMask& mask) {
  PyObject* zero = PyLong_FromLong(0);
  PyObject* one = PyLong_FromLong(1);
  PyObject* outer = PyList_New(kPlanes);
  if (zero == nullptr || one == nullptr || outer == nullptr) {
    Py_XDECREF(zero);
    Py_XDECREF(one);
    Py_XDECREF(outer);
    throw pybind11::error_already_set();
  }
  for (int p = 0; p < kPlanes; ++p) {
    PyObject* row = PyList_New(kSquares);
    if (row == nullptr) {
      Py_DECREF(outer);
      outer = nullptr;
      break;
    }
    PyList_SET_ITEM(outer, p, row);
    const ActionMask::Row bits = mask[p];
    for (int s = 0; s < kSquares; ++s) PyList_SET_ITEM(row, s, Py_NewRef(bits[s] ? one : zero));
  }
  Py_DECREF(zero);
  Py_DECREF(one);
  if (outer == nullptr) throw pybind11::error_already_set();
  return outer;
}

}  // namespace vantor::module

namespace pybind11::detail {

// Planes reach Python as list[list[int]]; they are only ever results, never arguments.
template <int N>
struct type_caster<vantor::Planes<N>> {
  PYBIND11_TYPE_CASTER(vantor::Planes<N>, const_name("list[list[int]]"));

  bool load(handle, bool) { return false; }

  static handle cast(const vantor::Planes<N>& planes, return_value_policy, handle) {
    return vantor::module::planes_to_list(planes.data(), N);
  }
};

template <>
struct type_caster<vantor::ActionMask> {
  PYBIND11_TYPE_CASTER(vantor::ActionMask, const_name("list[list[int]]"));

  bool load(handle, bool) { return false; }

  static handle cast(const vantor::ActionMask& mask, return_value_policy, handle) {
    return vantor::module::mask_to_list(mask);
  }
};

}  // namespace pybind11::detail
