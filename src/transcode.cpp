// The transcoder: the characters of a str straight to UTF-8 and UTF-8 straight to a
// str, at SIMD speed, with no intermediate object. Where the input cannot be
// transcoded (a lone surrogate, malformed UTF-8) the callers go to CPython's own codec,
// whose exception is the one users see.
#include "serializer.h"

#include <simdutf.h>

#include <algorithm>
#include <cassert>
#include <cstdint>
#include <cstring>

namespace zav::utf8 {

namespace {

// The UTF-8 copy that CPython keeps inside a non-ASCII str once asked for it, or null.
// It is set at most once, by any thread; the acquire load pairs with its publication.
const char* cached_utf8(PyObject* text, Py_ssize_t& size) {
    auto* compact = reinterpret_cast<PyCompactUnicodeObject*>(text);
    const char* utf8 = __atomic_load_n(&compact->utf8, __ATOMIC_ACQUIRE);
    if (utf8 != nullptr) {
        size = compact->utf8_length;
    }
    return utf8;
}

// Code units from U+D800 to U+DFFF. In a str each one is a character of its own, even
// a high one followed by a low one, and strict UTF-8 cannot encode any of them.
template <class Unit>
bool has_surrogate(const Unit* data, Py_ssize_t n) {
    bool found = false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        found |= (data[i] & ~Unit(0x7FF)) == Unit(0xD800);  // no early exit: it vectorises
    }
    return found;
}

const char16_t* ucs2(PyObject* text) {
    return reinterpret_cast<const char16_t*>(PyUnicode_2BYTE_DATA(text));
}

const char32_t* ucs4(PyObject* text) {
    return reinterpret_cast<const char32_t*>(PyUnicode_4BYTE_DATA(text));
}

std::size_t length_of(PyObject* text) { return static_cast<std::size_t>(PyUnicode_GET_LENGTH(text)); }

// Word by word for short text; simdutf's vector code pays from a few words on.
bool is_ascii(const char* data, Py_ssize_t size) {
    if (size >= 64) {
        return simdutf::validate_ascii(data, static_cast<std::size_t>(size));
    }
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

// The largest character of well-formed, non-ASCII UTF-8, as far as the width of a str
// depends on it. The lead bytes tell: F0 and up start 4-byte sequences (beyond the
// BMP), C4 and up any other character beyond Latin-1. Bit 7 of each byte of the masks
// below ANDs that byte's bit 7 with lower bits of the same byte, shifted up.
Py_UCS4 width_char(const char* data, Py_ssize_t size) {
    constexpr std::uint64_t top = 0x8080808080808080ULL;
    std::uint64_t astral = 0;
    std::uint64_t wide = 0;
    auto scan = [&](std::uint64_t w) {
        std::uint64_t lead = w & (w << 1);  // 11xxxxxx
        astral |= lead & (w << 2) & (w << 3);
        wide |= lead & ((w << 2) | (w << 3) | (w << 4) | (w << 5));
    };
    Py_ssize_t i = 0;
    for (; i + 8 <= size; i += 8) {
        std::uint64_t w;
        std::memcpy(&w, data + i, 8);
        scan(w);
    }
    std::uint64_t tail = 0;
    std::memcpy(&tail, data + i, static_cast<std::size_t>(size - i));
    scan(tail);
    if ((astral & top) != 0) {
        return 0x10FFFF;
    }
    return (wide & top) != 0 ? 0xFFFF : 0xFF;
}

// Fills a new str with the characters of valid UTF-8; returns how many it wrote.
std::size_t fill(PyObject* text, const char* data, std::size_t size) {
    switch (PyUnicode_KIND(text)) {
    case PyUnicode_1BYTE_KIND:
        return simdutf::convert_valid_utf8_to_latin1(
            data, size, reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(text)));
    case PyUnicode_2BYTE_KIND:
        return simdutf::convert_valid_utf8_to_utf16(
            data, size, reinterpret_cast<char16_t*>(PyUnicode_2BYTE_DATA(text)));
    default:
        return simdutf::convert_valid_utf8_to_utf32(
            data, size, reinterpret_cast<char32_t*>(PyUnicode_4BYTE_DATA(text)));
    }
}

}  // namespace

Py_ssize_t encoded_size(PyObject* text) {
    if (PyUnicode_IS_ASCII(text)) {
        return PyUnicode_GET_LENGTH(text);
    }
    Py_ssize_t size;
    if (cached_utf8(text, size) != nullptr) {
        return size;
    }
    std::size_t n = length_of(text);
    switch (PyUnicode_KIND(text)) {
    case PyUnicode_1BYTE_KIND:
        return static_cast<Py_ssize_t>(simdutf::utf8_length_from_latin1(
            reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(text)), n));
    case PyUnicode_2BYTE_KIND:
        if (has_surrogate(ucs2(text), PyUnicode_GET_LENGTH(text))) {
            return -1;
        }
        return static_cast<Py_ssize_t>(simdutf::utf8_length_from_utf16(ucs2(text), n));
    default:
        if (has_surrogate(ucs4(text), PyUnicode_GET_LENGTH(text))) {
            return -1;
        }
        return static_cast<Py_ssize_t>(simdutf::utf8_length_from_utf32(ucs4(text), n));
    }
}

unsigned char* encode_into(PyObject* text, Py_ssize_t size, unsigned char* out) {
    char* dest = reinterpret_cast<char*>(out);
    Py_ssize_t cached_size;
    const char* cached = PyUnicode_IS_ASCII(text) ? static_cast<const char*>(PyUnicode_DATA(text))
                                                  : cached_utf8(text, cached_size);
    if (cached != nullptr) {
        std::memcpy(dest, cached, static_cast<std::size_t>(size));
        return out + size;
    }
    std::size_t n = length_of(text);
    switch (PyUnicode_KIND(text)) {
    case PyUnicode_1BYTE_KIND:
        return out + simdutf::convert_latin1_to_utf8(
                         reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(text)), n, dest);
    case PyUnicode_2BYTE_KIND:
        return out + simdutf::convert_valid_utf16_to_utf8(ucs2(text), n, dest);
    default:
        return out + simdutf::convert_valid_utf32_to_utf8(ucs4(text), n, dest);
    }
}

PyObject* decode(const char* data, Py_ssize_t size) {
    if (size > 1 && is_ascii(data, size)) {
        PyObject* text = PyUnicode_New(size, 127);
        if (text != nullptr) {
            std::memcpy(PyUnicode_1BYTE_DATA(text), data, static_cast<std::size_t>(size));
        }
        return text;
    }
    std::size_t n = static_cast<std::size_t>(size);
    // One character or none: CPython hands out shared strings. Malformed input: its
    // decoder raises the exact error.
    if (size <= 1 || !simdutf::validate_utf8(data, n)) {
        return PyUnicode_DecodeUTF8(data, size, nullptr);
    }
    std::size_t chars = simdutf::count_utf8(data, n);
    if (chars <= 1) {
        return PyUnicode_DecodeUTF8(data, size, nullptr);
    }
    PyObject* text = PyUnicode_New(static_cast<Py_ssize_t>(chars), width_char(data, size));
    if (text != nullptr) {
        [[maybe_unused]] std::size_t written = fill(text, data, n);
        assert(written == chars);
    }
    return text;
}

}  // namespace zav::utf8
