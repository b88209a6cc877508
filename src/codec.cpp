// The text codec: objects to UTF-8 bytes and bytes back to text.
#include "serializer.h"

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

// ---------------------------------------------------------------------------
// Plain forms

PlainForm::Outcome PlainForm::take_text(PyObject* obj) {
    if ((data_ = utf8::cached(obj, size_)) != nullptr) {
        return plain;
    }
    if (!utf8::encodable(obj)) {
        return general;  // CPython's encoder raises the exact error
    }
    text_ = obj;
    size_ = -1;  // measured when needed: the writers may transcode first
    return plain;
}

PlainForm::Outcome PlainForm::take_number(PyObject* obj) {
    size_ = number_text(obj, digits_);
    return size_ < 0 ? general : plain;
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
