// The module object: creation, registration of its contents, and the
// process-wide cells that belong to its definition.
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "args.hpp"
#include "call.hpp"
#include "docstrings.hpp"
#include "functions.hpp"
#include "ref.hpp"
#include "results.hpp"
#include "text.hpp"

namespace quorvane::python {
namespace {

constexpr const char* kVersion = QUORVANE_VERSION;

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "quorvane",  // m_name
    "",          // m_doc
    0,           // m_size
    nullptr,     // m_methods: the functions are added one by one
    nullptr,     // m_slots
    nullptr,     // m_traverse
    nullptr,     // m_clear
    nullptr,     // m_free
};

// The identity of the first interpreter that imported the module.
std::atomic<std::int64_t> g_interpreter{-1};
// The module object after its first successful initialisation, held for the
// life of the process.
PyObject* g_module = nullptr;

template <PyCFunctionWithKeywords F>
PyCFunction as_cfunction() noexcept {
  // The interpreter calls METH_VARARGS | METH_KEYWORDS functions with the
  // keyword dictionary as a third argument; PyMethodDef stores them under
  // the two-argument type.
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F));
}

PyMethodDef g_functions[] = {
    {"embed", as_cfunction<py_embed>(), METH_VARARGS | METH_KEYWORDS, doc::kEmbed},
    {"encode", as_cfunction<py_encode>(), METH_VARARGS | METH_KEYWORDS, doc::kEncode},
    {"encode_padded", as_cfunction<py_encode_padded>(), METH_VARARGS | METH_KEYWORDS,
     doc::kEncodePadded},
    {"target_length", as_cfunction<py_target_length>(), METH_VARARGS | METH_KEYWORDS,
     doc::kTargetLength},
    {"extract", as_cfunction<py_extract>(), METH_VARARGS | METH_KEYWORDS, doc::kExtract},
    {"locate_all", as_cfunction<py_locate_all>(), METH_VARARGS | METH_KEYWORDS, doc::kLocateAll},
    {"strip", as_cfunction<py_strip>(), METH_VARARGS | METH_KEYWORDS, doc::kStrip},
    {"compute_data_hash", as_cfunction<py_compute_data_hash>(), METH_VARARGS | METH_KEYWORDS,
     doc::kComputeDataHash},
    {"verify_data_hash", as_cfunction<py_verify_data_hash>(), METH_VARARGS | METH_KEYWORDS,
     doc::kVerifyDataHash},
};

// The module's __all__, created empty when the module has none.
Ref all_list(const Ref& module) {
  Ref all = Ref::steal(PyObject_GetAttrString(module.get(), "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonError{};
    PyErr_Clear();
    all = check(PyList_New(0));
    if (PyObject_SetAttrString(module.get(), "__all__", all.get()) != 0) throw PythonError{};
    return all;
  }
  if (!PyList_Check(all.get())) raise_cannot_convert(all.get(), "PyList");
  return all;
}

// Appends `name` to __all__ and sets the attribute `name` to `value`.
void add(const Ref& module, const Ref& name, const Ref& value) {
  Ref all = all_list(module);
  if (PyList_Append(all.get(), name.get()) != 0) {
    std::string message = "could not append __name__ to __all__";
    PyObject *t = nullptr, *v = nullptr, *tb = nullptr;
    PyErr_Fetch(&t, &v, &tb);
    PyErr_NormalizeException(&t, &v, &tb);
    Ref type = Ref::steal(t), exc = Ref::steal(v), trace = Ref::steal(tb);
    if (exc) {
      Ref text = Ref::steal(PyObject_Str(exc.get()));
      Ref utf8 = text ? Ref::steal(PyUnicode_AsUTF8String(text.get())) : Ref();
      if (utf8) {
        message += ": ";
        message += PyBytes_AsString(utf8.get());
      }
      PyErr_Clear();
    }
    throw Panic(message);
  }
  if (PyObject_SetAttr(module.get(), name.get(), value.get()) != 0) throw PythonError{};
}

void add_named(const Ref& module, const char* name, Ref value) {
  add(module, check(PyUnicode_FromString(name)), value);
}

void register_contents(const Ref& module) {
  Ref module_name = check(PyModule_GetNameObject(module.get()));
  for (PyMethodDef& def : g_functions) {
    Ref function = check(PyCMethod_New(&def, module.get(), module_name.get(), nullptr));
    Ref name = Ref::steal(PyObject_GetAttrString(function.get(), "__name__"));
    if (!name) throw PythonError{};
    if (!PyUnicode_Check(name.get())) raise_cannot_convert(name.get(), "PyString");
    add(module, name, function);
  }
  add_named(module, "MARKER", check(PyUnicode_FromStringAndSize("\xEF\xBB\xBF", 3)));
  add_named(module, "VERSION", check(PyLong_FromLong(1)));
  add_named(module, "__version__", check(PyUnicode_FromString(kVersion)));
}

Ref init_module() {
  PyInterpreterState* state = PyInterpreterState_Get();
  const std::int64_t id = state != nullptr ? PyInterpreterState_GetID(state) : -1;
  if (id == -1) raise_pending();

  std::int64_t expected = -1;
  if (!g_interpreter.compare_exchange_strong(expected, id) && expected != id) {
    PyErr_SetString(PyExc_ImportError,
                    "quorvane does not support subinterpreters: it can be imported only by "
                    "the first interpreter that loaded it in this process");
    throw PythonError{};
  }

  if (g_module != nullptr) return Ref::borrow(g_module);

  prepare_str_isascii();
  prepare_names();

  Ref module = Ref::steal(PyModule_Create2(&g_module_def, PYTHON_ABI_VERSION));
  if (!module) raise_pending();
  register_contents(module);  // on failure `module` is released here
  g_module = Ref::borrow(module.get()).release();
  return module;
}

}  // namespace
}  // namespace quorvane::python

PyMODINIT_FUNC PyInit_quorvane(void) {
  return quorvane::python::guarded([] { return quorvane::python::init_module(); });
}
