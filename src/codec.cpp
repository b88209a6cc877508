// The text codec: objects to UTF-8 bytes and bytes back to text.
#include "serializer.h"

#include <charconv>
#include <cstring>

namespace zav {

namespace {

Ref encode_classified(PyObject* obj) {
    if (PyUnicode_Check(obj)) {
        // The stored characters: a str subclass's own __str__ is not consulted.
        return Ref::steal(PyUnicode_AsUTF8String(obj));
    }
    if (PyBytes_Check(obj) || obj == Py_None) {
        return Ref::borrow(obj);
    }
    Ref text = Ref::steal(PyObject_Str(obj));
    return text ? Ref::steal(PyUnicode_AsUTF8String(text.get())) : Ref();
}

Ref decode_classified(PyObject* obj) {
    if (PyBytes_Check(obj)) {
        return Ref::steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(obj), PyBytes_GET_SIZE(obj),
                                               nullptr));
    }
    if (PyUnicode_Check(obj) || obj == Py_None) {
        return Ref::borrow(obj);
    }
    return Ref::steal(PyObject_Str(obj));
}

}  // namespace

Ref _encode(PyObject* obj) {
    Ref result = encode_classified(obj);
    if (!result) {
        add_traceback("_encode");
    }
    return result;
}

Ref _decode(PyObject* obj) {
    Ref result = decode_classified(obj);
    if (!result) {
        add_traceback("_decode");
    }
    return result;
}

Ref decode_utf8(const char* data, Py_ssize_t size) {
    Ref result = Ref::steal(utf8::decode(data, size));
    if (!result) {
        add_traceback("_decode");
    }
    return result;
}

// ---------------------------------------------------------------------------
// Plain forms

PlainForm::Outcome PlainForm::take_text(PyObject* obj) {
    size_ = utf8::encoded_size(obj);
    if (size_ < 0) {
        return general;  // CPython's encoder raises the exact error
    }
    text_ = obj;
    return plain;
}

PlainForm::Outcome PlainForm::take_number(PyObject* obj) {
    if (PyBool_Check(obj)) {
        data_ = obj == Py_True ? "True" : "False";
        size_ = obj == Py_True ? 4 : 5;
        return plain;
    }
    if (PyFloat_CheckExact(obj)) {
        size_ = static_cast<Py_ssize_t>(float_text(PyFloat_AS_DOUBLE(obj), digits_));
        return plain;
    }
    if (!PyLong_CheckExact(obj)) {
        return general;
    }
    long long value;
    if (PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(obj))) {
        value = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(obj));
    } else {
        int overflow;
        value = PyLong_AsLongLongAndOverflow(obj, &overflow);
        if (overflow != 0) {
            return general;  // str() has its own rules for large numbers
        }
    }
    size_ = std::to_chars(digits_, digits_ + sizeof digits_, value).ptr - digits_;
    return plain;
}


PyObject* encode_body(PyObject* const* args) { return _encode(args[0]).release(); }

PyObject* decode_body(PyObject* const* args) { return _decode(args[0]).release(); }

PyObject* safe_decode_body(PyObject* const* args) {
    Ref result = _decode(args[0]);
    if (result) {
        return result.release();
    }
    if (PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) {
        PyErr_Clear();
        return Py_NewRef(args[0]);
    }
    return nullptr;
}

}  // namespace zav
