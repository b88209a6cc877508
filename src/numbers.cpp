// The text of numbers as str() gives it, written straight into a buffer. For floats,
// the shortest decimal digits that read back as the same double, laid out by Python's
// rules.
#include "serializer.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace zav {

namespace {

char* put(char* out, const char* text, std::size_t n) {
    std::memcpy(out, text, n);
    return out + n;
}

// The decimal that a double reads back from with the fewest digits, and of those the
// nearest: digits * 10**exponent. The digits may end in zeros. Found by scaling the
// double and the ends of the interval that rounds to it by a power of ten held to 126
// bits, rounding to odd, then testing the candidates one digit shorter and at full
// length (R. Giulietti, "The Schubfach way to render doubles").
struct Decimal {
    std::uint64_t digits;
    int exponent;
};

namespace schubfach {

#include "pow10_table.inc"

constexpr int q_min = -1074;                    // the binary exponent of subnormals
constexpr std::uint64_t c_min = 1ULL << 52;     // the least significand of a normal double
constexpr std::uint64_t c_tiny = 3;             // below this a subnormal is scaled by ten first
constexpr std::uint64_t low63 = (1ULL << 63) - 1;

// floor(e log10 2), floor(e log10 2 + log10 3/4) and floor(e log2 10), exact over the
// exponents of doubles.
int floor_log10_pow2(int e) { return static_cast<int>((e * 661971961083LL) >> 41); }
int floor_log10_three_quarters_pow2(int e) {
    return static_cast<int>((e * 661971961083LL - 274743187321LL) >> 41);
}
int floor_log2_pow10(int e) { return static_cast<int>((e * 913124641741LL) >> 38); }

__extension__ typedef unsigned __int128 uint128;  // GCC's and Clang's, as -Wpedantic is told

std::uint64_t high_product(std::uint64_t a, std::uint64_t b) {
    return static_cast<std::uint64_t>((static_cast<uint128>(a) * b) >> 64);
}

// cp * g / 2**127 for g = g1 * 2**63 + g0, rounded to odd: any discarded bit sets the last.
std::uint64_t round_to_odd(std::uint64_t g1, std::uint64_t g0, std::uint64_t cp) {
    std::uint64_t x1 = high_product(g0, cp);
    std::uint64_t y0 = g1 * cp;
    std::uint64_t y1 = high_product(g1, cp);
    std::uint64_t z = (y0 >> 1) + x1;
    std::uint64_t whole = y1 + (z >> 63);
    return whole | (((z & low63) + low63) >> 63);
}

// The shortest decimal of c * 2**q; dk is added to its exponent.
Decimal to_decimal(int q, std::uint64_t c, int dk) {
    std::uint64_t out = c & 1;  // an even significand's interval includes its ends
    std::uint64_t cb = c << 2;
    std::uint64_t cbr = cb + 2;
    std::uint64_t cbl;
    int k;
    if (c != c_min || q == q_min) {
        cbl = cb - 2;
        k = floor_log10_pow2(q);
    } else {
        cbl = cb - 1;  // at a power of two the gap below is half the gap above
        k = floor_log10_three_quarters_pow2(q);
    }
    int h = q + floor_log2_pow10(-k) + 2;
    const std::uint64_t* g = pow10_table[k - pow10_k_min];
    std::uint64_t vb = round_to_odd(g[0], g[1], cb << h);
    std::uint64_t vbl = round_to_odd(g[0], g[1], cbl << h);
    std::uint64_t vbr = round_to_odd(g[0], g[1], cbr << h);

    std::uint64_t s = vb >> 2;
    if (s >= 10) {
        // One digit fewer: at most one of the two neighbouring multiples of ten fits.
        // (Down to one digit, which only the least subnormals come to.)
        std::uint64_t sp10 = s / 10 * 10;
        std::uint64_t tp10 = sp10 + 10;
        bool upin = vbl + out <= sp10 << 2;
        bool wpin = (tp10 << 2) + out <= vbr;
        if (upin != wpin) {
            return {upin ? sp10 : tp10, k + dk};
        }
    }
    std::uint64_t t = s + 1;
    bool uin = vbl + out <= s << 2;
    bool win = (t << 2) + out <= vbr;
    if (uin != win) {
        return {uin ? s : t, k + dk};
    }
    // Both fit: the nearer, the even one on a tie.
    std::int64_t cmp = static_cast<std::int64_t>(vb - ((s + t) << 1));
    return {cmp < 0 || (cmp == 0 && (s & 1) == 0) ? s : t, k + dk};
}

// A finite, non-zero double's magnitude.
Decimal shortest(std::uint64_t bits) {
    int biased = static_cast<int>((bits >> 52) & 0x7FF);
    std::uint64_t fraction = bits & (c_min - 1);
    if (biased == 0) {
        return fraction < c_tiny ? to_decimal(q_min, 10 * fraction, -1) : to_decimal(q_min, fraction, 0);
    }
    int mq = 1075 - biased;
    std::uint64_t c = c_min | fraction;
    if (0 < mq && mq < 53 && ((c >> mq) << mq) == c) {
        return {c >> mq, 0};  // a whole number below 2**53: its own digits
    }
    return to_decimal(-mq, c, 0);
}

}  // namespace schubfach

constexpr char digit_pairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// The formatting below moves digits in fixed blocks of span bytes, which need no call
// and no branch on the length: every buffer and every room has span to spare.
constexpr std::size_t span = 24;
constexpr std::uint64_t ascii_zeros = 0x3030303030303030ULL;

// The eight decimal digits of n < 10**8, leading zeros included, as the values 0 to 9
// in the bytes of a word, in memory order: split into halves, quarters and digits in
// lanes of the word, each division a multiplication that is exact in that range.
std::uint64_t eight_digits(std::uint32_t n) {
    std::uint64_t halves = (n / 10000) | (static_cast<std::uint64_t>(n % 10000) << 32);
    std::uint64_t hundreds = ((halves * 10486) >> 20) & 0x0000007F0000007FULL;
    std::uint64_t pairs = ((halves - 100 * hundreds) << 16) + hundreds;
    std::uint64_t tens = ((pairs * 103) >> 10) & 0x000F000F000F000FULL;
    return tens + ((pairs - 10 * tens) << 8);
}

#if defined(__SSE2__)
// The last sixteen digits of n < 10**16 as the values 0 to 9 in the bytes of a vector
// register, in memory order: its four groups of four digits split into hundreds and
// the rest, then tens and units, in 16-bit lanes, each division a multiplication
// that is exact in that range.
__m128i sixteen_digits(std::uint64_t n) {
    std::uint64_t q4 = n / 10000;
    std::uint64_t q8 = n / 100000000;
    std::uint64_t q12 = n / 1000000000000;
    std::uint64_t fours = q12 | (q8 - 10000 * q12) << 16 | (q4 - 10000 * q8) << 32 | (n - 10000 * q4) << 48;
    __m128i x = _mm_cvtsi64_si128(static_cast<long long>(fours));
    __m128i hundreds = _mm_srli_epi16(_mm_mulhi_epu16(x, _mm_set1_epi16(5243)), 3);
    __m128i pairs = _mm_unpacklo_epi16(hundreds, _mm_sub_epi16(x, _mm_mullo_epi16(hundreds, _mm_set1_epi16(100))));
    __m128i tens = _mm_srli_epi16(_mm_mullo_epi16(pairs, _mm_set1_epi16(103)), 10);
    __m128i units = _mm_sub_epi16(pairs, _mm_mullo_epi16(tens, _mm_set1_epi16(10)));
    return _mm_or_si128(tens, _mm_slli_epi16(units, 8));
}

// The 24 digits of a number below 10**18, leading zeros included: the first eight (at
// most two of them not zero) in a word, the other sixteen in an SSE2 register, which
// every x86-64 processor has, and which tells the zero digits in one comparison.
class WideDigits {
public:
    explicit WideDigits(std::uint64_t n) {
        auto top = static_cast<std::uint32_t>(n / 10000000000000000ULL);
        top_ = std::uint64_t{top / 10} << 48 | std::uint64_t{top % 10} << 56;
        rest_ = sixteen_digits(n % 10000000000000000ULL);
        auto rest_zeros = static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(rest_, _mm_setzero_si128())));
        std::uint32_t top_zeros = 0x3F | (top < 10 ? 0x40 : 0) | (top % 10 == 0 ? 0x80 : 0);
        zeros_ = top_zeros | rest_zeros << 8;
    }

    // Zero digits before the first non-zero one and after the last.
    int leading_zeros() const { return std::countr_one(zeros_); }
    int trailing_zeros() const { return std::countl_one(zeros_ << 8); }

    // The 24 digits as characters, then zero bytes: 3 * span bytes.
    void put(char* out) const {
        std::uint64_t top = top_ + ascii_zeros;
        std::memcpy(out, &top, 8);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8), _mm_add_epi8(rest_, _mm_set1_epi8('0')));
        std::memset(out + 24, 0, 2 * span);
    }

private:
    std::uint64_t top_;
    __m128i rest_;
    std::uint32_t zeros_;  // bit i set where digit i is zero
};
#else
// The 24 digits of a 64-bit number, leading zeros included, as three such words.
class WideDigits {
public:
    explicit WideDigits(std::uint64_t n)
        : words{eight_digits(static_cast<std::uint32_t>(n / 10000000000000000ULL)),
                eight_digits(static_cast<std::uint32_t>(n / 100000000 % 100000000)),
                eight_digits(static_cast<std::uint32_t>(n % 100000000))} {}

    // Zero digits before the first non-zero one and after the last (24 for zero).
    int leading_zeros() const {
        return words[0] != 0 ? std::countr_zero(words[0]) / 8
             : words[1] != 0 ? 8 + std::countr_zero(words[1]) / 8
                             : 16 + std::countr_zero(words[2]) / 8;
    }
    int trailing_zeros() const {
        return words[2] != 0 ? std::countl_zero(words[2]) / 8
             : words[1] != 0 ? 8 + std::countl_zero(words[1]) / 8
                             : 16 + std::countl_zero(words[0]) / 8;
    }

    // The 24 digits as characters, then zero bytes: 3 * span bytes.
    void put(char* out) const {
        for (int i = 0; i < 3; ++i) {
            std::uint64_t chars = words[i] + ascii_zeros;
            std::memcpy(out + 8 * i, &chars, 8);
        }
        std::memset(out + 24, 0, 2 * span);
    }

private:
    std::uint64_t words[3];
};
#endif

// The significant digits of a decimal: at most 17, as the shortest form of a double
// never needs more. They are left where the conversion put them, after the leading
// zeros, rather than moved to the front: the formatting moves them once anyway.
struct Digits {
    char all[3 * span];  // leading zeros, count digits, then zero bytes
    int lead;
    int count;
    int point;  // the decimal is 0.DIGITS * 10**point

    const char* text() const { return all + lead; }  // count digits, then span bytes or more
};

// The digits of d.digits (below 10**17), found from the zero digits at either end.
Digits significant(Decimal d) {
    WideDigits wide(d.digits);
    Digits result;
    wide.put(result.all);
    result.lead = wide.leading_zeros();
    result.count = 24 - result.lead - wide.trailing_zeros();
    result.point = 24 - result.lead + d.exponent;
    return result;
}

// d.ddde+XX, with at least two exponent digits, as repr(1e+16) and repr(1.5e-07).
char* put_exponent_form(char* out, const Digits& d) {
    const char* digits = d.text();
    out[0] = digits[0];
    out[1] = '.';
    std::memcpy(out + 2, digits + 1, span);
    out += d.count > 1 ? d.count + 1 : 1;
    int exponent = d.point - 1;
    *out++ = 'e';
    *out++ = exponent < 0 ? '-' : '+';
    int magnitude = exponent < 0 ? -exponent : exponent;  // at most 324
    if (magnitude >= 100) {
        *out++ = static_cast<char>('0' + magnitude / 100);
    }
    std::memcpy(out, digit_pairs + 2 * (magnitude % 100), 2);
    return out + 2;
}

// Digits around a decimal point (at most three zeros after it before them), with ".0"
// for a whole number (at most sixteen digits before it).
char* put_positional_form(char* out, const Digits& d) {
    const char* digits = d.text();
    if (d.point <= 0) {
        std::memcpy(out, "0.000", 5);
        out += 2 - d.point;
        std::memcpy(out, digits, span);
        return out + d.count;
    }
    if (d.point < d.count) {
        std::memcpy(out, digits, span);
        out[d.point] = '.';
        std::memcpy(out + d.point + 1, digits + d.point, span);
        return out + d.count + 1;
    }
    std::memcpy(out, digits, span);
    std::memcpy(out + d.count, "0000000000000000", 16);
    out += d.point;
    std::memcpy(out, ".0", 2);
    return out + 2;
}

constexpr std::uint64_t powers_of_ten[] = {
    1ULL, 10ULL, 100ULL, 1000ULL, 10000ULL, 100000ULL, 1000000ULL, 10000000ULL, 100000000ULL,
    1000000000ULL, 10000000000ULL, 100000000000ULL, 1000000000000ULL, 10000000000000ULL,
    100000000000000ULL, 1000000000000000ULL, 10000000000000000ULL};

// The number of decimal digits of 0 < n < 10**16: from its bits, then one comparison.
int decimal_length(std::uint64_t n) {
    int guess = ((64 - std::countl_zero(n)) * 1233) >> 12;
    return guess + (n >= powers_of_ten[guess]);
}

// The n lowest of the eight digits of v < 10**8 as characters, stored in one word at
// out (room for eight).
void put_last_digits(char* out, std::uint32_t v, int n) {
    std::uint64_t chars = (eight_digits(v) + ascii_zeros) >> (8 * (8 - n));
    std::memcpy(out, &chars, 8);
}

// The digits of n, stored a word at a time, each word after the first overwriting
// the room the one before left; returns the end.
char* put_integer(char* out, std::uint64_t n) {
    constexpr std::uint64_t e8 = 100000000ULL;
    if (n < e8) {
        int length = n == 0 ? 1 : decimal_length(n);
        put_last_digits(out, static_cast<std::uint32_t>(n), length);
        return out + length;
    }
    int lead;  // the digits before the last sixteen, or before the last eight
    std::uint64_t rest;
    if (n < e8 * e8) {
        lead = decimal_length(n) - 8;
        put_last_digits(out, static_cast<std::uint32_t>(n / e8), lead);
        rest = n % e8;
    } else {
        std::uint64_t top = n / (e8 * e8);  // at most 1844
        lead = decimal_length(top);
        put_last_digits(out, static_cast<std::uint32_t>(top), lead);
        n %= e8 * e8;
        put_last_digits(out + lead, static_cast<std::uint32_t>(n / e8), 8);
        lead += 8;
        rest = n % e8;
    }
    put_last_digits(out + lead, static_cast<std::uint32_t>(rest), 8);
    return out + lead + 8;
}

// str() of an int within 64 bits.
Py_ssize_t int_text(long long value, char* out) {
    auto magnitude = static_cast<std::uint64_t>(value);
    bool negative = value < 0;
    out[0] = '-';  // kept only for a negative number
    if (negative) {
        magnitude = 0 - magnitude;
    }
    return put_integer(out + negative, magnitude) - out;
}

}  // namespace

std::size_t float_text(double value, char* out) {
    char* start = out;
    if (std::isnan(value)) {
        return static_cast<std::size_t>(put(out, "nan", 3) - start);
    }
    if (std::isinf(value)) {
        return static_cast<std::size_t>(value > 0 ? put(out, "inf", 3) - start : put(out, "-inf", 4) - start);
    }
    auto bits = std::bit_cast<std::uint64_t>(value);
    if ((bits >> 63) != 0) {
        *out++ = '-';
        bits &= ~(1ULL << 63);
    }
    if (bits == 0) {
        return static_cast<std::size_t>(put(out, "0.0", 3) - start);
    }
    Digits d = significant(schubfach::shortest(bits));
    // repr switches to the exponent form below 1e-4 and from 1e16 on.
    bool exponent_form = d.point <= -4 || d.point > 16;
    out = exponent_form ? put_exponent_form(out, d) : put_positional_form(out, d);
    return static_cast<std::size_t>(out - start);
}

Py_ssize_t number_text(PyObject* obj, char* out) {
    if (PyBool_Check(obj)) {
        // Both spellings in one fixed-size copy: the room is there.
        std::memcpy(out, obj == Py_True ? "True\0\0\0" : "False\0\0", 8);
        return obj == Py_True ? 4 : 5;
    }
    if (PyFloat_CheckExact(obj)) {
        return static_cast<Py_ssize_t>(float_text(PyFloat_AS_DOUBLE(obj), out));
    }
    if (!PyLong_CheckExact(obj)) {
        return -1;
    }
    long long value;
    if (PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(obj))) {
        value = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(obj));
    } else {
        int overflow;
        value = PyLong_AsLongLongAndOverflow(obj, &overflow);
        if (overflow != 0) {
            return -1;  // str() has its own rules for large numbers
        }
    }
    return int_text(value, out);
}

}  // namespace zav
