#include "call.hpp"

#include <cstdio>
#include <cstdlib>

namespace quorvane::python {
namespace {

constexpr const char* kPanicDoc =
    "Raised when the quorvane library fails internally.\n\n"
    "It derives from BaseException, not Exception, so that it normally\n"
    "propagates to the top and ends the interpreter.";

// Created under the interpreter lock the first time it is needed and kept
// for the life of the process.
PyObject* g_panic_type = nullptr;

[[noreturn]] void abort_uncaught() noexcept {
  std::fputs("uncaught panic at ffi boundary\n", stderr);
  std::fflush(stderr);
  std::abort();
}

}  // namespace

void raise_panic(const char* message) noexcept {
  if (g_panic_type == nullptr) {
    // A pending exception would be mistaken for a failure of the creation.
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    {
      const Ref discard[] = {Ref::steal(type), Ref::steal(value), Ref::steal(tb)};
    }
    g_panic_type = PyErr_NewExceptionWithDoc("quorvane_runtime.PanicException", kPanicDoc,
                                             PyExc_BaseException, nullptr);
    if (g_panic_type == nullptr) abort_uncaught();
  }
  Ref text = Ref::steal(PyUnicode_FromString(message != nullptr ? message : kGenericPanicMessage));
  if (!text) abort_uncaught();
  PyErr_SetObject(g_panic_type, text.get());
}

void api_failed() {
  // Exhausted memory is reported as MemoryError, like every other
  // allocation failure of the call. Exceptions that are not an Exception
  // (SystemExit, KeyboardInterrupt) are passed on too: printing them would
  // exit the process or swallow the interrupt.
  if (PyErr_Occurred() != nullptr &&
      (PyErr_ExceptionMatches(PyExc_MemoryError) || !PyErr_ExceptionMatches(PyExc_Exception))) {
    throw PythonError{};
  }
  if (PyErr_Occurred() != nullptr) PyErr_Print();
  throw Panic(kApiCallFailed);
}

void raise_pending() {
  if (PyErr_Occurred() == nullptr) {
    PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
  }
  throw PythonError{};
}

}  // namespace quorvane::python
