// The text of numbers as str() gives it, written straight into a buffer: the number
// path that every writer takes for an exact int, float or bool. The digits of short
// ints are made here, inline, so that the writers' loops write most ints without a
// call; longer ints and floats are made in src/numbers.cpp.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "compat.h"

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace zav {

// The most a number's text takes: an int below 2**256, 78 digits, and its sign.
constexpr std::size_t max_number_text = 80;
// Writes str(value) of a float at out (room for max_number_text bytes); returns its size.
std::size_t float_text(double value, char* out);

// The items of two floats at out (room for two number items): each its one-byte
// length, then str() of the float; returns their end. The shortest digits of both are
// found before either is laid out: the layout's branches are often guessed wrong
// (whether a random double has 16 or 17 digits is a toss), and a wrong guess throws
// away the work begun after it, which then holds no search for the next float's digits.
unsigned char* put_two_float_items(double first, double second, unsigned char* out);

// Decimal digits of short numbers, here rather than in src/numbers.cpp so that the
// record writers' loops write most ints without a call. Digits are made in the bytes
// of words and stored whole, in the byte order of every supported processor.
static_assert(std::endian::native == std::endian::little, "digits are laid out in little-endian words");
namespace decimal {
constexpr std::uint64_t ascii_zeros = 0x3030303030303030ULL;
constexpr std::uint32_t e8 = 100000000;

constexpr std::uint64_t powers_of_ten[] = {
    1ULL, 10ULL, 100ULL, 1000ULL, 10000ULL, 100000ULL, 1000000ULL, 10000000ULL, 100000000ULL,
    1000000000ULL, 10000000000ULL, 100000000000ULL, 1000000000000ULL, 10000000000000ULL,
    100000000000000ULL, 1000000000000000ULL, 10000000000000000ULL, 100000000000000000ULL,
    1000000000000000000ULL, 10000000000000000000ULL};

// The number of decimal digits of n > 0: from its bits, then one comparison.
inline int length(std::uint64_t n) {
    int guess = ((64 - std::countl_zero(n)) * 1233) >> 12;
    return guess + (n >= powers_of_ten[guess]);
}

// The eight decimal digits of n < 10**8, leading zeros included, as the values 0 to 9
// in the bytes of a word, in memory order: split into halves, quarters and digits in
// lanes of the word, each division a multiplication that is exact in that range.
[[gnu::always_inline]] inline std::uint64_t eight_digits(std::uint32_t n) {
    // n / 10000 as n * ceil(2**40 / 10000) >> 40, exact below 10**8, spelled out: in a
    // block it takes for rare, the compiler would divide.
    auto high = static_cast<std::uint32_t>((std::uint64_t{n} * 109951163) >> 40);
    std::uint64_t halves = high | (static_cast<std::uint64_t>(n - high * 10000) << 32);
    std::uint64_t hundreds = ((halves * 10486) >> 20) & 0x0000007F0000007FULL;
    std::uint64_t pairs = ((halves - 100 * hundreds) << 16) + hundreds;
    std::uint64_t tens = ((pairs * 103) >> 10) & 0x000F000F000F000FULL;
    return tens + ((pairs - 10 * tens) << 8);
}

// The four digits of n < 10**4 in the same way.
inline std::uint32_t four_digits(std::uint32_t n) {
    std::uint32_t hundreds = (n * 5243) >> 19;  // n / 100
    std::uint32_t pairs = hundreds | ((n - 100 * hundreds) << 16);
    std::uint32_t tens = ((pairs * 103) >> 10) & 0x000F000FU;
    return tens | ((pairs - 10 * tens) << 8);
}

// The digits of n < 10**8 without its leading zeros ("0" for 0) as characters, stored
// in one word at out (room for eight); returns their count. The leading zeros are the
// zero bytes before the first other digit, counted from the digits themselves.
[[gnu::always_inline]] inline int put_eight_digits(char* out, std::uint32_t n) {
    std::uint64_t digits = eight_digits(n);
    int zeros = std::countr_zero(digits | std::uint64_t{1} << 56) >> 3;  // the last digit stays
    std::uint64_t chars = (digits + ascii_zeros) >> (8 * zeros);
    std::memcpy(out, &chars, 8);
    return 8 - zeros;
}

// The two characters of each pair of digits, "00" to "99".
struct PairTexts {
    char chars[200];
};
inline constexpr PairTexts pair_texts = [] {
    PairTexts table{};
    for (int i = 0; i < 100; ++i) {
        table.chars[2 * i] = static_cast<char>('0' + i / 10);
        table.chars[2 * i + 1] = static_cast<char>('0' + i % 10);
    }
    return table;
}();

// The characters of pair i (0 to 99) in the low bytes of a word, in memory order.
inline std::uint64_t pair_text(std::uint64_t i) {
    std::uint16_t chars;
    std::memcpy(&chars, pair_texts.chars + 2 * i, 2);
    return chars;
}

// The texts of 0 to 999 in four bytes each, in memory order: `lead` without leading
// zeros, its length in the last byte; `three` with them, in three digits.
struct ThousandTexts {
    std::uint32_t lead[1000];
    std::uint32_t three[1000];
};
inline constexpr ThousandTexts thousand_texts = [] {
    ThousandTexts table{};
    for (std::uint32_t i = 0; i < 1000; ++i) {
        std::uint32_t digits[3] = {i / 100, i / 10 % 10, i % 10};
        std::uint32_t size = i >= 100 ? 3 : i >= 10 ? 2 : 1;
        for (std::uint32_t d = 0; d < 3; ++d) {
            table.three[i] |= ('0' + digits[d]) << (8 * d);
        }
        for (std::uint32_t d = 0; d < size; ++d) {
            table.lead[i] |= ('0' + digits[3 - size + d]) << (8 * d);
        }
        table.lead[i] |= size << 24;
    }
    return table;
}();

// The digits of n < 10**6 as put_eight_digits writes those of n < 10**8, in eight
// bytes: the thousands without leading zeros, then the last three digits, each from
// the table, a store each, the second at the end of the first (when n has no
// thousands, it lands after the digits, where the room is). Its chain of dependent
// steps is short, and a writer's loop waits on that chain (the next item's place
// depends on this one's length): lists of ints below 10**5, common in data, are
// written in 0.72 of the time the fixed-point split below took.
[[gnu::always_inline]] inline int put_six_digits(char* out, std::uint32_t n) {
    std::uint32_t high = n / 1000;
    std::uint32_t low = n - high * 1000;
    std::uint32_t lead = thousand_texts.lead[high != 0 ? high : low];
    int lead_size = static_cast<int>(lead >> 24);
    std::memcpy(out, &lead, 4);
    std::memcpy(out + lead_size, &thousand_texts.three[low], 4);
    return lead_size + (high != 0 ? 3 : 0);
}

// The eight digits of n < 10**8 as characters, leading zeros included, in a word in
// memory order, by a fixed point with a 57-bit fraction: n / 10**6, each multiplication
// of the fraction by 100 lifting the next pair of digits above the point, which
// pair_texts spells; then three more pairs. The reciprocal, rounded up, errs by
// n * 0.15 / 2**57 at most, below the pairs' resolution through the three steps for
// every n below 10**8 (checked for each). For a number of its own its chain of
// dependent steps is what counts (lists of ints of seven and eight digits are written
// about 8% faster with it); the lanes take fewer instructions, which is what counts for
// the halves of a long int, made side by side (3% slower with this one).
[[gnu::always_inline]] inline std::uint64_t eight_chars_fixed(std::uint32_t n) {
    constexpr std::uint64_t fraction = (std::uint64_t{1} << 57) - 1;
    std::uint64_t fixed = std::uint64_t{n} * 144115188076;  // ceil(2**57 / 10**6)
    std::uint64_t chars = pair_text(fixed >> 57);
    fixed = (fixed & fraction) * 100;
    chars |= pair_text(fixed >> 57) << 16;
    fixed = (fixed & fraction) * 100;
    chars |= pair_text(fixed >> 57) << 32;
    fixed = (fixed & fraction) * 100;
    chars |= pair_text(fixed >> 57) << 48;
    return chars;
}

// The same as put_eight_digits, the digits made by eight_chars_fixed.
[[gnu::always_inline]] inline int put_eight_digits_fixed(char* out, std::uint32_t n) {
    std::uint64_t chars = eight_chars_fixed(n);
    int zeros = std::countr_zero((chars ^ ascii_zeros) | std::uint64_t{1} << 56) >> 3;  // the last digit stays
    chars >>= 8 * zeros;
    std::memcpy(out, &chars, 8);
    return 8 - zeros;
}

// The same for n < 10**4, in four bytes.
inline int put_four_digits(char* out, std::uint32_t n) {
    std::uint32_t digits = four_digits(n);
    int zeros = std::countr_zero(digits | std::uint32_t{1} << 24) >> 3;
    std::uint32_t chars = (digits + static_cast<std::uint32_t>(ascii_zeros)) >> (8 * zeros);
    std::memcpy(out, &chars, 4);
    return 4 - zeros;
}
}  // namespace decimal

// int_text for any int but those below 10**8 in one digit.
Py_ssize_t long_int_text(PyObject* obj, char* out);

// Writes str(obj) of an exact int at out (room for max_number_text bytes) when its
// magnitude is below 2**256; returns its size, or -1 (nothing written) for a larger one.
// Inline for an int below 10**8, as most are in data, in the loops that write them.
[[gnu::always_inline]] inline Py_ssize_t int_text(PyObject* obj, char* out) {
    std::uint32_t magnitude;
    bool negative;
    if (one_digit_magnitude(obj, magnitude, negative)) {
        out[0] = '-';  // kept only for a negative number
        if (magnitude < 1000000) {
            return negative + decimal::put_six_digits(out + negative, magnitude);
        }
        if (magnitude < decimal::e8) {
            return negative + decimal::put_eight_digits_fixed(out + negative, magnitude);
        }
    }
    return long_int_text(obj, out);
}

// The spelling of a bool, written in one fixed-size copy (the room is there) chosen by
// index: a branch would guess wrong as often as the values change.
inline Py_ssize_t bool_text(bool truth, char* out) {
    static constexpr char spellings[2][8] = {"False", "True"};
    std::memcpy(out, spellings[truth], 8);
    return 5 - truth;
}

// The writers of the text of an exact int, float and bool: write_text(obj, out) writes
// str(obj) at out (room for max_number_text bytes) and returns its size, or -1 (nothing
// written) for an int of magnitude 2**256 or more. Inline wherever they are called, so
// that each writer's loop has its own copy to schedule.
struct IntText {
    [[gnu::always_inline]] Py_ssize_t operator()(PyObject* obj, char* out) const { return int_text(obj, out); }
};
struct FloatText {
    [[gnu::always_inline]] Py_ssize_t operator()(PyObject* obj, char* out) const {
        return static_cast<Py_ssize_t>(float_text(PyFloat_AS_DOUBLE(obj), out));
    }

    // The items of two floats at out (put_two_float_items); returns their end.
    [[gnu::always_inline]] unsigned char* two_items(PyObject* first, PyObject* second, unsigned char* out) const {
        return put_two_float_items(PyFloat_AS_DOUBLE(first), PyFloat_AS_DOUBLE(second), out);
    }
};
struct BoolText {
    [[gnu::always_inline]] Py_ssize_t operator()(PyObject* obj, char* out) const {
        return bool_text(obj == Py_True, out);
    }
};

// put(write_text) with the writer of the text of a number of the given type, when that
// is exactly int, float or bool, else none: the number path of every writer. A writer
// that dispatches here once gets a body of its own per type, in which the call that
// makes a float's text costs the int's digits nothing.
template <class Result, class Put>
[[gnu::always_inline]] inline Result with_number_text(PyTypeObject* type, Result none, Put put) {
    if (type == &PyLong_Type) {
        return put(IntText{});
    }
    if (type == &PyFloat_Type) {
        return put(FloatText{});
    }
    if (type == &PyBool_Type) {
        return put(BoolText{});
    }
    return none;
}

// Writes str(obj) at out (room for max_number_text bytes) when obj is an exact bool,
// float or int of magnitude below 2**256, whose text runs no Python code; returns its
// size, or -1 (nothing written) for any other object.
[[gnu::always_inline]] inline Py_ssize_t number_text(PyObject* obj, char* out) {
    return with_number_text(Py_TYPE(obj), Py_ssize_t{-1}, [&](auto write_text) { return write_text(obj, out); });
}

}  // namespace zav
