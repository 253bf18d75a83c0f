// The exported functions, in the calling convention of METH_VARARGS |
// METH_KEYWORDS: (module, positional tuple, keyword dict or null).
#pragma once

#include <Python.h>

namespace quorvane::python {

PyObject* py_embed(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* py_encode(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* py_encode_padded(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* py_target_length(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* py_extract(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* py_locate_all(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* py_strip(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* py_compute_data_hash(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* py_verify_data_hash(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace quorvane::python
