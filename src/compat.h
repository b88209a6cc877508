// What the oldest supported CPython (3.13) lacks of the API the module uses, as small
// shims with the names and behaviour of the newer interpreters. Every version
// difference lives here, so the rest of the sources read as written for the newest.
#pragma once

#include <Python.h>

#if PY_VERSION_HEX < 0x030E0000
// 3.14: 1 when two str objects are equal, 0 when not, -1 with TypeError when either is
// not a str.
inline int PyUnicode_Equal(PyObject* a, PyObject* b) {
    PyObject* not_str = !PyUnicode_Check(a) ? a : !PyUnicode_Check(b) ? b : nullptr;
    if (not_str != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s argument must be str, not %.100s",
                     not_str == a ? "first" : "second", Py_TYPE(not_str)->tp_name);
        return -1;
    }
    // Comparing two str cannot fail.
    return PyUnicode_Compare(a, b) == 0;
}
#endif
