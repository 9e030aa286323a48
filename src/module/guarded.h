// The C++ side of a vantor.Vantor or vantor.State object: the engine value and the lock
// that serialises every call on it, and the argument conversion that admits only a live,
// initialised object of the class. Shared by every extension module built on the engine.
#pragma once

#include <pybind11/pybind11.h>

#include <atomic>
#include <string>
#include <type_traits>
#include <utility>

namespace vantor::module {

// An engine value owned by one Python object, with its own lock. Calls on one object are
// serialised by the lock even where no GIL does it (the free-threaded interpreter), so
// two threads sharing an object see the calls as if made one after the other; separate
// objects never contend. No Python code runs while a lock is held, so a call can never
// re-enter its own object's lock.
template <class T>
struct Guarded {
  Guarded() = default;
  explicit Guarded(T v) : value(std::move(v)) {}
  // Only a new, unshared object is moved (a result on its way to Python), and it gets a
  // lock of its own.
  Guarded(Guarded&& other) noexcept
    requires std::is_move_constructible_v<T>
      : value(std::move(other.value)) {}
  Guarded(const Guarded&) = delete;
  Guarded& operator=(const Guarded&) = delete;

  T value{};
  mutable PyMutex mutex{};
};

// Holds an object's lock for a scope. A thread that has to wait detaches its thread
// state meanwhile (PyMutex does so by itself), so a waiter never stalls the interpreter's
// stop-the-world pauses, nor, on a GIL build, the thread that holds the lock.
class Lock {
 public:
  explicit Lock(PyMutex& mutex) : mutex_(mutex) { PyMutex_Lock(&mutex_); }
  ~Lock() { PyMutex_Unlock(&mutex_); }
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;

 private:
  PyMutex& mutex_;
};

// Runs f on the value under its lock and returns f's result by value, so that nothing
// the caller converts afterwards is read while another thread may write it.
template <class T, class F>
auto locked(const Guarded<T>& object, F&& f) {
  Lock lock(object.mutex);
  return std::forward<F>(f)(object.value);
}

template <class T, class F>
auto locked(Guarded<T>& object, F&& f) {
  Lock lock(object.mutex);
  return std::forward<F>(f)(object.value);
}

// As locked, for long pure engine work: other threads run meanwhile (the GIL is released
// and the thread state detached). The lock is not released by detaching, so calls on the
// same object still wait for this one.
template <class T, class F>
auto locked_detached(Guarded<T>& object, F&& f) {
  Lock lock(object.mutex);
  pybind11::gil_scoped_release detached;
  return std::forward<F>(f)(object.value);
}

// Marks a registered final class immutable, so that no instance's __class__ can be
// assigned to or from it: a method would otherwise run on an object of another layout.
// Called once the class has all its members.
inline void seal(const pybind11::handle& cls) {
  auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
  type->tp_flags |= Py_TPFLAGS_IMMUTABLETYPE;
  PyType_Modified(type);
}

}  // namespace vantor::module

namespace pybind11::detail {

// Admits exactly a live instance of the registered class: an instance of another class is
// not converted (TypeError from the call), and an instance made by __new__ without
// __init__ raises TypeError instead of being handed uninitialised memory. None becomes a
// null pointer, for the arguments that admit it. The classes are final and immutable, so
// an instance's class is the one it was made with.
//
// The class's type record is looked up once. pybind11 looks it up for every conversion
// under one lock that all threads share, which made calls on separate objects take turns
// on the free-threaded interpreter. The modules declare that they support one interpreter
// only, so the record lives as long as the process.
template <class T>
class type_caster<vantor::module::Guarded<T>> : public type_caster_generic {
  using Value = vantor::module::Guarded<T>;
  // Only for its protected copy and move makers.
  struct Makers : type_caster_base<Value> {
    using type_caster_base<Value>::make_copy_constructor;
    using type_caster_base<Value>::make_move_constructor;
  };

  // An atomic rather than a guarded static: a thread waiting on a static's guard would wait
  // attached, and could hold up a stop-the-world pause of the free-threaded interpreter.
  // Threads that race here each find the same record.
  static const detail::type_info* record() {
    static std::atomic<const detail::type_info*> cached{nullptr};
    const detail::type_info* found = cached.load(std::memory_order_acquire);
    if (found == nullptr) {
      found = get_type_info(typeid(Value), /*throw_if_missing=*/true);
      cached.store(found, std::memory_order_release);
    }
    return found;
  }

 public:
  static constexpr auto name = const_name<Value>();

  type_caster() : type_caster_generic(record()) {}

  bool load(handle src, bool convert) {
    if (!src || src.is_none()) return type_caster_generic::load(src, convert);
    if (Py_TYPE(src.ptr()) != typeinfo->type) return false;
    value_and_holder v_h = reinterpret_cast<instance*>(src.ptr())->get_value_and_holder(typeinfo);
    if (!v_h.holder_constructed()) {
      throw type_error(std::string(typeinfo->type->tp_name) +
                       " object is not initialised: it was made by __new__ without __init__");
    }
    value = v_h.value_ptr();
    return true;
  }

  static handle cast(const Value& src, return_value_policy policy, handle parent) {
    if (policy == return_value_policy::automatic || policy == return_value_policy::automatic_reference) {
      policy = return_value_policy::copy;
    }
    return cast(std::addressof(src), policy, parent);
  }
  static handle cast(Value&& src, return_value_policy, handle parent) {
    return cast(std::addressof(src), return_value_policy::move, parent);
  }
  static handle cast(const Value* src, return_value_policy policy, handle parent) {
    return type_caster_generic::cast(cast_sources(src, record()), policy, parent,
                                     Makers::make_copy_constructor(src), Makers::make_move_constructor(src));
  }

  template <typename U>
  using cast_op_type = detail::cast_op_type<U>;

  // NOLINTNEXTLINE(google-explicit-constructor)
  operator Value*() { return static_cast<Value*>(value); }
  // NOLINTNEXTLINE(google-explicit-constructor)
  operator Value&() {
    if (!value) throw reference_cast_error();
    return *static_cast<Value*>(value);
  }
};

}  // namespace pybind11::detail
