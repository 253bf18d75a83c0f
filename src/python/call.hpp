// The shared call wrapper of the boundary, and the ways a body leaves it.
//
// Every exported function and the module's init run their body through
// `guarded`. Inside a body, failures travel as C++ exceptions that never
// leave this layer:
//   - PythonError: a Python exception is already set; return null.
//   - Panic: an internal failure; raised as PanicException (a
//     BaseException subclass, so `except Exception` does not catch it).
//   - std::bad_alloc / std::length_error: memory exhausted in the library;
//     raised as MemoryError with everything of the call released.
//
// A body may let other threads run while it works on memory of its own
// (`ReleasedGil`, `without_gil`); the lock is always held again before the
// body touches a Python object or leaves, by whatever way it leaves.
#pragma once

#include <Python.h>

#include <cstddef>
#include <new>
#include <quorvane/internal/thresholds.hpp>
#include <stdexcept>
#include <string>

#include "ref.hpp"

namespace quorvane::python {

struct PythonError {};

class Panic : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

inline constexpr const char* kGenericPanicMessage = "internal failure in quorvane";
inline constexpr const char* kApiCallFailed = "Python API call failed";

// Raises PanicException(message). Creates the class on first use. Should
// that itself fail, writes "uncaught panic at ffi boundary" to stderr and
// ends the process.
void raise_panic(const char* message) noexcept;

// For an interpreter call that failed to create an object the library
// needs. A pending MemoryError is passed on as it is; any other failure is
// printed to stderr and becomes the internal failure "Python API call
// failed". Never returns.
[[noreturn]] void api_failed();

// `obj`, or api_failed() when it is null.
inline Ref check(PyObject* obj) {
  if (obj == nullptr) api_failed();
  return Ref::steal(obj);
}

// Throws PythonError for the pending exception, or sets SystemError
// "attempted to fetch exception but none was set" first when none is
// pending.
[[noreturn]] void raise_pending();

// Releases the interpreter lock for its lifetime: PyEval_SaveThread when
// built, PyEval_RestoreThread when destroyed, also when an exception (such
// as std::bad_alloc) leaves the scope, so `guarded` always handles it with
// the lock held. No Python object, reference count or Python allocator may
// be touched while it lives; the memory worked on must be owned by the call
// or by an immutable object that the call holds a reference to.
class ReleasedGil {
 public:
  ReleasedGil() noexcept : state_(PyEval_SaveThread()) {}
  ~ReleasedGil() { PyEval_RestoreThread(state_); }
  ReleasedGil(const ReleasedGil&) = delete;
  ReleasedGil& operator=(const ReleasedGil&) = delete;

 private:
  PyThreadState* state_;
};

inline constexpr std::size_t kReleaseGilFrom = thresholds::kReleaseGilFrom;

// `work()`, run with the interpreter lock released when `input_bytes`, the
// size of what it reads, is at least kReleaseGilFrom.
template <class Work>
decltype(auto) without_gil(std::size_t input_bytes, Work&& work) {
  if (input_bytes < kReleaseGilFrom) return work();
  const ReleasedGil released;
  return work();
}

template <class Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    return body().release();
  } catch (const PythonError&) {
    if (PyErr_Occurred() == nullptr) {
      PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    raise_panic(e.what());
  } catch (...) {
    raise_panic(kGenericPanicMessage);
  }
  return nullptr;
}

}  // namespace quorvane::python
