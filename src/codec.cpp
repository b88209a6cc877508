// The text codec: objects to UTF-8 bytes and bytes back to text.
#include "serializer.h"

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

template <class Char>
char* encode_utf8_of(const Char* chars, Py_ssize_t n, char* out) {
    auto* o = reinterpret_cast<unsigned char*>(out);
    bool surrogates = false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_UCS4 c = chars[i];
        if (c < 0x80) {
            *o++ = static_cast<unsigned char>(c);
        } else if (c < 0x800) {
            o[0] = static_cast<unsigned char>(0xC0 | (c >> 6));
            o[1] = static_cast<unsigned char>(0x80 | (c & 0x3F));
            o += 2;
        } else if (c < 0x10000) {
            surrogates |= c - 0xD800u < 0x800u;
            o[0] = static_cast<unsigned char>(0xE0 | (c >> 12));
            o[1] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
            o[2] = static_cast<unsigned char>(0x80 | (c & 0x3F));
            o += 3;
        } else {
            o[0] = static_cast<unsigned char>(0xF0 | (c >> 18));
            o[1] = static_cast<unsigned char>(0x80 | ((c >> 12) & 0x3F));
            o[2] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
            o[3] = static_cast<unsigned char>(0x80 | (c & 0x3F));
            o += 4;
        }
    }
    return surrogates ? nullptr : reinterpret_cast<char*>(o);
}

}  // namespace

char* encode_utf8(PyObject* text, char* out) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    switch (PyUnicode_KIND(text)) {
    case PyUnicode_1BYTE_KIND:
        return encode_utf8_of(PyUnicode_1BYTE_DATA(text), n, out);
    case PyUnicode_2BYTE_KIND:
        return encode_utf8_of(PyUnicode_2BYTE_DATA(text), n, out);
    default:
        return encode_utf8_of(PyUnicode_4BYTE_DATA(text), n, out);
    }
}

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
    Ref result = Ref::steal(PyUnicode_DecodeUTF8(data, size, nullptr));
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
