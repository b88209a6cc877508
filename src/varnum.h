// Varnums: the length prefixes of records and their entries. Big-endian groups of seven
// bits, every byte but the last with its high bit set.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "serializer.h"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>

namespace zav {

constexpr int max_varnum_width = 8;

// For values of 2**28 and more: the width 5 to 8, 0 for 2**56 and more, or -1 when
// asking the interpreter failed. Widths 5 to 8 are decided against the interpreter
// integers 2**35 ... 2**56. A call of its own: no record of real data gets there.
[[gnu::noinline]] inline int wide_varnum_width(std::uint64_t num) {
    for (int i = 0; i < 4; ++i) {
        Ref value = Ref::steal(PyLong_FromUnsignedLongLong(num));
        if (!value) {
            return -1;
        }
        Ref below = Ref::steal(PyObject_RichCompare(value.get(), state.varnum_bounds[i], Py_LT));
        int truth = below ? is_true(below.get()) : -1;
        if (truth != 0) {
            if (truth < 0) {
                add_traceback("_writevarnum");
            }
            return truth < 0 ? -1 : 5 + i;
        }
    }
    return 0;
}

// Writes num in the shortest form into buf (room for max_varnum_width bytes); returns
// the width, 0 when num is 2**56 or more (nothing written), -1 on failure.
inline int _writevarnum(unsigned char* buf, std::uint64_t num) {
    int width;
    if (num < (1ULL << 7)) {
        buf[0] = static_cast<unsigned char>(num);
        return 1;
    } else if (num < (1ULL << 14)) {
        width = 2;
    } else if (num < (1ULL << 21)) {
        width = 3;
    } else if (num < (1ULL << 28)) {
        width = 4;
    } else if ((width = wide_varnum_width(num)) <= 0) {
        return width;
    }
    for (int k = 0; k < width - 1; ++k) {
        buf[k] = static_cast<unsigned char>(((num >> (7 * (width - 1 - k))) & 0x7F) | 0x80);
    }
    buf[width - 1] = static_cast<unsigned char>(num & 0x7F);
    return width;
}

// Writes num as a varnum at out (room for 10 bytes) without asking the interpreter;
// returns its end. For the lengths of objects in memory, which stay far below 2**56.
inline unsigned char* put_varnum(unsigned char* out, std::uint64_t num) {
    if (num < 0x80) {
        *out = static_cast<unsigned char>(num);
        return out + 1;
    }
    int width = (64 - std::countl_zero(num) + 6) / 7;
    for (int k = width - 1; k > 0; --k) {
        *out++ = static_cast<unsigned char>(((num >> (7 * k)) & 0x7F) | 0x80);
    }
    *out++ = static_cast<unsigned char>(num & 0x7F);
    return out;
}

// Reads a varnum from at most size bytes: groups up to the first byte below 0x80, or up
// to the end; only the low 64 bits of longer ones stay. Returns the bytes consumed.
// Inline, so that the stream module reads record lengths by the same rules.
inline std::size_t _readvarnum(const unsigned char* buf, std::size_t size, std::uint64_t* np) {
    std::uint64_t value = 0;
    std::size_t pos = 0;
    while (pos < size) {
        unsigned char c = buf[pos++];
        value = (value << 7) + (c & 0x7F);
        if (c < 0x80) {
            break;
        }
    }
    *np = value;
    return pos;
}

// A record never leaves out a length: one too large for a varnum is an error. A call
// of its own: inline, its copies for the long entries crowd the dict writer's loop.
[[gnu::noinline]] inline int write_length(unsigned char* buf, Py_ssize_t length) {
    int width = _writevarnum(buf, static_cast<std::uint64_t>(length));
    if (width == 0) {
        PyErr_SetString(PyExc_OverflowError, "byte string too long for a record");
    }
    return width;
}

// The width _writevarnum gives a length, without asking the interpreter; for sizing.
inline int varnum_width(Py_ssize_t length) {
    int bits = std::bit_width(static_cast<std::uint64_t>(length));
    return bits <= 7 ? 1 : std::min(max_varnum_width, (bits + 6) / 7);
}

}  // namespace zav
