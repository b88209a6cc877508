// What the oldest supported CPython (3.13) lacks of the API the module uses, as small
// shims with the names and behaviour of the newer interpreters, and what the module
// reads of CPython's objects directly, in the layout of every supported version. Every
// version difference lives here, so the rest of the sources read as written for the
// newest.
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

#include <cstddef>
#include <cstdint>

// The magnitude and sign of an exact int whose magnitude is below 2**64, read from its
// digits in place, in the layout of 3.12 and later that PyUnstable_Long_IsCompact reads
// too: asking the interpreter (PyLong_AsInt64, PyLong_AsLongLongAndOverflow) costs
// several times as much for ints beyond one digit, and stops at 2**63. False for a
// larger int.
inline bool int_magnitude(PyObject* obj, std::uint64_t& magnitude, bool& negative) {
    const _PyLongValue& value = reinterpret_cast<PyLongObject*>(obj)->long_value;
    constexpr std::size_t most_digits = (64 + PyLong_SHIFT - 1) / PyLong_SHIFT;
    constexpr int top_digit_bits = 64 - PyLong_SHIFT * (static_cast<int>(most_digits) - 1);
    static constexpr digit none = 0;
    std::size_t digits = value.lv_tag >> _PyLong_NON_SIZE_BITS;
    if (digits > most_digits) {
        return false;
    }
    // Every place up to the most read, those beyond the int's digits as zero: the
    // choice of address takes no branch, whose outcome would vary with the lengths.
    std::uint64_t sum = 0;
    digit top = 0;
    for (std::size_t i = most_digits; i-- > 0;) {
        digit place = *(i < digits ? &value.ob_digit[i] : &none);
        top = i == most_digits - 1 ? place : top;
        sum = sum << PyLong_SHIFT | place;
    }
    magnitude = sum;
    negative = (value.lv_tag & _PyLong_SIGN_MASK) == 2;
    return (top >> top_digit_bits) == 0;
}
