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

bool is_surrogate(Py_UCS4 c) { return c >= 0xD800 && c <= 0xDFFF; }

int utf8_width(Py_UCS4 c) {
    if (c < 0x80) {
        return 1;
    }
    if (c < 0x800) {
        return 2;
    }
    return c < 0x10000 ? 3 : 4;
}

template <class Char>
Py_ssize_t utf8_length_of(const Char* chars, Py_ssize_t n) {
    Py_ssize_t size = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (sizeof(Char) > 1 && is_surrogate(chars[i])) {
            return -1;
        }
        size += utf8_width(chars[i]);
    }
    return size;
}

template <class Char>
char* write_utf8_of(const Char* chars, Py_ssize_t n, char* out) {
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_UCS4 c = chars[i];
        switch (utf8_width(c)) {
        case 1:
            *out++ = static_cast<char>(c);
            break;
        case 2:
            *out++ = static_cast<char>(0xC0 | (c >> 6));
            *out++ = static_cast<char>(0x80 | (c & 0x3F));
            break;
        case 3:
            *out++ = static_cast<char>(0xE0 | (c >> 12));
            *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            *out++ = static_cast<char>(0x80 | (c & 0x3F));
            break;
        default:
            *out++ = static_cast<char>(0xF0 | (c >> 18));
            *out++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            *out++ = static_cast<char>(0x80 | (c & 0x3F));
            break;
        }
    }
    return out;
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
    Ref result = Ref::steal(PyUnicode_DecodeUTF8(data, size, nullptr));
    if (!result) {
        add_traceback("_decode");
    }
    return result;
}

Py_ssize_t utf8_length(PyObject* text) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    if (PyUnicode_IS_ASCII(text)) {
        return n;
    }
    switch (PyUnicode_KIND(text)) {
    case PyUnicode_1BYTE_KIND:
        return utf8_length_of(PyUnicode_1BYTE_DATA(text), n);
    case PyUnicode_2BYTE_KIND:
        return utf8_length_of(PyUnicode_2BYTE_DATA(text), n);
    default:
        return utf8_length_of(PyUnicode_4BYTE_DATA(text), n);
    }
}

char* write_utf8(PyObject* text, char* out) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    if (PyUnicode_IS_ASCII(text)) {
        std::memcpy(out, PyUnicode_DATA(text), static_cast<std::size_t>(n));
        return out + n;
    }
    switch (PyUnicode_KIND(text)) {
    case PyUnicode_1BYTE_KIND:
        return write_utf8_of(PyUnicode_1BYTE_DATA(text), n, out);
    case PyUnicode_2BYTE_KIND:
        return write_utf8_of(PyUnicode_2BYTE_DATA(text), n, out);
    default:
        return write_utf8_of(PyUnicode_4BYTE_DATA(text), n, out);
    }
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
