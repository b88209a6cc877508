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

bool is_ascii(const char* data, Py_ssize_t size) {
    std::uint64_t high = 0;
    Py_ssize_t i = 0;
    for (; i + 8 <= size; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, data + i, 8);
        high |= word;
    }
    for (; i < size; ++i) {
        high |= static_cast<unsigned char>(data[i]);
    }
    return (high & 0x8080808080808080ULL) == 0;
}

PyObject* ascii_text(const char* data, Py_ssize_t size) {
    PyObject* text = PyUnicode_New(size, 127);
    if (text != nullptr) {
        std::memcpy(PyUnicode_1BYTE_DATA(text), data, static_cast<std::size_t>(size));
    }
    return text;
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
    // ASCII is its own UTF-8: such a str is made and filled directly. Strings of one
    // character or none go to CPython, which hands out shared ones.
    Ref result = Ref::steal(size > 1 && is_ascii(data, size)
                                ? ascii_text(data, size)
                                : PyUnicode_DecodeUTF8(data, size, nullptr));
    if (!result) {
        add_traceback("_decode");
    }
    return result;
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
