// The text of numbers as str() gives it, written straight into a buffer. For floats,
// the shortest decimal digits that read back as the same double (from Dragonbox), laid
// out by Python's rules.
#include "numbers.h"

#include "kernels.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <iterator>

#include <dragonbox/dragonbox.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace zav {

namespace {

char* put(char* out, const char* text, std::size_t n) {
    std::memcpy(out, text, n);
    return out + n;
}

// A finite, non-zero double's magnitude as digits * 10**exponent, with the fewest
// digits that read back as the same double and of those the nearest, as repr() picks
// them, with no zeros at their end. That the library removes them costs a few
// instructions, but gives the number of digits, on which the text's length depends,
// straight from the significand: found in the digits once they are made, it waited for
// their whole making, and with it the place of the next text in the record (lists of
// floats were written in 1.12 to 1.14 times the time).
struct Decimal {
    std::uint64_t digits;
    int exponent;
};

Decimal shortest(double magnitude) {
    namespace policy = jkj::dragonbox::policy;
    auto d = jkj::dragonbox::to_decimal(magnitude, policy::sign::ignore, policy::trailing_zero::remove);
    return {d.significand, d.exponent};
}

// The exponent part of every d.ddde+XX text a double can have, "e-324" to "e+308",
// with at least two digits as repr() writes them: eight bytes each, the text then its
// length in the last byte, so that one load and one store write it.
constexpr int least_exponent = -324;
constexpr int greatest_exponent = 308;
struct ExponentTexts {
    std::uint64_t words[greatest_exponent - least_exponent + 1];
};
constexpr ExponentTexts exponent_texts = [] {
    ExponentTexts table{};
    for (int exponent = least_exponent; exponent <= greatest_exponent; ++exponent) {
        int magnitude = exponent < 0 ? -exponent : exponent;
        char text[8] = {'e', exponent < 0 ? '-' : '+'};
        int size = 2;
        if (magnitude >= 100) {
            text[size++] = static_cast<char>('0' + magnitude / 100);
        }
        text[size++] = static_cast<char>('0' + magnitude / 10 % 10);
        text[size++] = static_cast<char>('0' + magnitude % 10);
        text[7] = static_cast<char>(size);
        std::uint64_t word = 0;
        for (int i = 7; i >= 0; --i) {
            word = word << 8 | static_cast<unsigned char>(text[i]);  // memory order
        }
        table.words[exponent - least_exponent] = word;
    }
    return table;
}();

using decimal::ascii_zeros;
using decimal::e8;
using decimal::eight_digits;
using decimal::put_eight_digits;
using decimal::put_four_digits;
using decimal::powers_of_ten;
constexpr std::uint64_t e16 = std::uint64_t{e8} * e8;
__extension__ using Wide = unsigned __int128;  // a GCC and Clang type on 64-bit targets

int decimal_length(std::uint64_t n) { return decimal::length(n); }

#if defined(__SSE2__)
// The constants of the digit split, read from memory where the compiler cannot see
// their values: it would make each in a register with three instructions where the
// multiplication can read it in place, and turn the multiplications by 100 and 10
// into several shifts and additions each.
struct alignas(16) SplitConstants {
    std::uint32_t ten_thousandth[4];
    std::uint32_t ten_thousand[4];
    std::uint16_t hundredth[8];
    std::uint16_t hundred[8];
    std::uint16_t tenth[8];
    std::uint16_t ten[8];
    std::uint8_t zero[16];
};
constexpr SplitConstants split_constants = {
    {109951163, 109951163, 109951163, 109951163},
    {10000, 10000, 10000, 10000},
    {5243, 5243, 5243, 5243, 5243, 5243, 5243, 5243},
    {100, 100, 100, 100, 100, 100, 100, 100},
    {103, 103, 103, 103, 103, 103, 103, 103},
    {10, 10, 10, 10, 10, 10, 10, 10},
    {'0', '0', '0', '0', '0', '0', '0', '0', '0', '0', '0', '0', '0', '0', '0', '0'}};

// The sixteen digits of n < 10**16, leading zeros included, as characters in an SSE2
// register (which every x86-64 processor has), so that they reach the output in one
// store, never by way of memory that a later load would have to wait for.
class SixteenDigits {
public:
    explicit SixteenDigits(std::uint64_t n)
        : SixteenDigits(static_cast<std::uint32_t>(n / e8), static_cast<std::uint32_t>(n % e8)) {}

    // The same for high * 10**8 + low, both below 10**8.
    SixteenDigits(std::uint32_t high, std::uint32_t low) {
        const SplitConstants* c = &split_constants;
        asm("" : "+r"(c));  // hides the values, not the memory
        // Four groups of four digits in 16-bit lanes, split into hundreds and the
        // rest, then tens and units, each division a multiplication that is exact in
        // that range: x / 10000 is x * 109951163 >> 40 below 10**8.
        __m128i halves = _mm_set_epi64x(low, high);
        __m128i quotients = _mm_srli_epi64(_mm_mul_epu32(halves, load(c->ten_thousandth)), 40);
        __m128i rests = _mm_sub_epi64(halves, _mm_mul_epu32(quotients, load(c->ten_thousand)));
        __m128i x = _mm_shuffle_epi32(_mm_or_si128(quotients, _mm_slli_epi64(rests, 16)), _MM_SHUFFLE(3, 1, 2, 0));
        __m128i hundreds = _mm_srli_epi16(_mm_mulhi_epu16(x, load(c->hundredth)), 3);
        __m128i pairs = _mm_unpacklo_epi16(hundreds, _mm_sub_epi16(x, _mm_mullo_epi16(hundreds, load(c->hundred))));
        __m128i tens = _mm_srli_epi16(_mm_mullo_epi16(pairs, load(c->tenth)), 10);
        __m128i units = _mm_sub_epi16(pairs, _mm_mullo_epi16(tens, load(c->ten)));
        chars_ = _mm_add_epi8(_mm_or_si128(tens, _mm_slli_epi16(units, 8)), load(c->zero));
    }

    void put(char* out) const { _mm_storeu_si128(reinterpret_cast<__m128i*>(out), chars_); }

private:
    static __m128i load(const void* constant) { return _mm_load_si128(static_cast<const __m128i*>(constant)); }

    __m128i chars_;
};
#else
// The same in two words, for processors without SSE2.
class SixteenDigits {
public:
    explicit SixteenDigits(std::uint64_t n)
        : SixteenDigits(static_cast<std::uint32_t>(n / e8), static_cast<std::uint32_t>(n % e8)) {}

    SixteenDigits(std::uint32_t high, std::uint32_t low)
        : words_{eight_digits(high) + ascii_zeros, eight_digits(low) + ascii_zeros} {}

    void put(char* out) const { std::memcpy(out, words_, 16); }

private:
    std::uint64_t words_[2];
};
#endif

// Where the point of a float's shortest digits falls, from the float itself: they are
// 0.DIGITS * 10**point. The float lies in [2**e, 2**(e + 1)), so floor(log10) of it is
// k = floor(e * log10(2)) or k + 1, which its comparison with the double nearest to
// 10**(k + 1) settles: the shortest digits of a double at least that are at least
// 10**(k + 1), and those of a smaller one are less, or 10**(k + 1) would read back as
// it. The point comes from the float's bits, while the search for its digits runs,
// rather than from the digits it gives (their count, then the point, cost lists of
// prices and rates a tenth of their time). Only the positional form below asks for it:
// points below -4 and above 17 (and every subnormal) come out of range, which is all
// that it needs of them.
struct PowersNearPoint {
    double of[24];  // 10**-5 to 10**18
};
constexpr PowersNearPoint powers_near_point = [] {
    PowersNearPoint table{};
    double power = 1;
    for (int k = 0; k <= 18; ++k, power *= 10) {
        table.of[k + 5] = power;  // exact up to 10**22
    }
    const double small[] = {1e-5, 1e-4, 1e-3, 1e-2, 1e-1};  // each the double nearest
    std::copy(std::begin(small), std::end(small), table.of);
    return table;
}();

int positional_point(double magnitude) {
    auto bits = std::bit_cast<std::uint64_t>(magnitude);
    int binary_exponent = static_cast<int>(bits >> 52) - 1023;
    int k = std::clamp((binary_exponent * 78913) >> 18, -6, 17);  // floor(e * log10(2))
    return k + 1 + (magnitude >= powers_near_point.of[k + 6]);
}

// The positional form of a decimal of at most eight digits (most floats of data:
// prices, rates, measures, a coordinate of six places with two before the point), or
// null for one that takes the exponent form. Its digits come from a word, whose chain
// of dependent steps is shorter than that of the pairs below, and the processor keeps
// only so many instructions in flight while a float's steps wait: lists of such floats
// are written in 0.9 of the time. (Nine digits wrote list-1000-short-floats in 0.97 of
// the time and list-1000-floats in 1.05.) Inline: with floats written in pairs, a call
// of its own was 2 to 4% slower.
constexpr std::uint64_t short_digits = 100000000;

// The `count` digits of n < 10**8 in the low bytes of a word, in memory order. Below
// 10**6 (a price, a rate, a measure), from the texts of its thousands and of the rest:
// one multiplication before the loads, where a fixed point takes four in a row.
std::uint64_t short_chars(std::uint32_t n, int count) {
    if (n < 1000000) {
        std::uint32_t thousands = n / 1000;
        std::uint64_t chars = decimal::thousand_texts.three[thousands] |
                              std::uint64_t{decimal::thousand_texts.three[n - thousands * 1000]} << 24;
        return chars >> (8 * (6 - count));
    }
    return decimal::eight_chars_fixed(n) >> (8 * (8 - count));
}

char* put_short_positional(char* out, Decimal d, int point) {
    if (point <= -4 || point > 16) {
        return nullptr;
    }
    int count = point - d.exponent;
    std::uint64_t chars = short_chars(static_cast<std::uint32_t>(d.digits), count);
    if (point <= 0) {
        std::memcpy(out, "0.000000", 8);
        std::memcpy(out + 2 - point, &chars, 8);
        return out + 2 - point + count;
    }
    if (point < count) {
        // The point after the first `point` digits, then the digits after it again, one
        // place on: each store overwrites what the one before left after it.
        std::memcpy(out, &chars, 8);
        out[point] = '.';
        std::uint64_t after = chars >> (8 * point);
        std::memcpy(out + point + 1, &after, 8);
        return out + count + 1;
    }
    // A whole number: '0's after the digits up to the point, then ".0".
    std::memcpy(out, &chars, 8);
    std::memcpy(out + count, "0000000000000000", 16);
    std::memcpy(out + point, ".0", 2);
    return out + point + 2;
}

// n / 10**8, by the multiplication that compilers make of it, spelled out: in this
// block GCC divided instead (a division costs several times as much), and an int of
// nine to sixteen digits (a timestamp, say) comes here.
std::uint64_t divide_by_e8(std::uint64_t n) {
    return static_cast<std::uint64_t>((Wide{n} * 0xABCC77118461CEFDULL) >> 90);  // ceil(2**90 / 10**8)
}

// The digits of n >= 10**8 (int_text writes smaller ones itself), stored a word or a
// register at a time, each store after the first overwriting the room the one before
// left; returns the end. Inline in long_int_text, as it always was.
[[gnu::always_inline]] inline char* put_integer(char* out, std::uint64_t n) {
    if (n < e16) {
        std::uint64_t high = divide_by_e8(n);
        int lead = put_eight_digits(out, static_cast<std::uint32_t>(high));  // the digits before the last eight
        std::uint64_t last = eight_digits(static_cast<std::uint32_t>(n - high * e8)) + ascii_zeros;
        std::memcpy(out + lead, &last, 8);
        return out + lead + 8;
    }
    int lead = put_four_digits(out, static_cast<std::uint32_t>(n / e16));  // at most 1844
    SixteenDigits(n % e16).put(out + lead);
    return out + lead + 16;
}

// The layout of a float's text around its shortest digits, as repr() writes it. A
// float's steps wait on the digits that the search gives, late, and the processor
// keeps only so many steps in flight, so what its text costs is mostly the chain of
// steps from those digits to the stores. So the layout takes their count from a branch
// for the usual 16 and 17 (which of the two a random double has is a toss, but a wrong
// guess cost less than computing the count first), cuts a positional text at its point
// by a multiplication that the exponent chooses, which needs no count at all, and
// spells eight digits from the texts of two thousands and a pair, two multiplications
// before the loads. Against the layout that made seventeen places in a vector register
// and moved the point in it, list-1000-floats and list-1000-short-floats were written
// in 0.81 and 0.80 of the time, dict-1000-floats in 0.86 (compare_builds).

// The eight digits of n < 10**8, leading zeros included; each store after the first
// overwrites the spare byte of the one before.
void put_eight_places(char* out, std::uint32_t n) {
    std::uint32_t thousands = n / 1000;
    std::uint32_t millions = thousands / 1000;
    std::memcpy(out, decimal::pair_texts.chars + 2 * millions, 2);
    std::memcpy(out + 2, &decimal::thousand_texts.three[thousands - millions * 1000], 4);
    std::memcpy(out + 5, &decimal::thousand_texts.three[n - thousands * 1000], 4);
}

// The sixteen digits of n < 10**16, leading zeros included.
void put_sixteen_places(char* out, std::uint64_t n) {
    std::uint64_t high = divide_by_e8(n);
    put_eight_places(out, static_cast<std::uint32_t>(high));
    put_eight_places(out + 8, static_cast<std::uint32_t>(n - high * e8));
}

// d.dddddddddddddddd, the digits of 10**16 <= places < 10**17 with a point after the
// first: the first nine spelled as put_eight_places spells eight, their first three from
// the table of three, the point written over the second of them.
void put_seventeen_with_point(char* out, std::uint64_t places) {
    auto first_nine = static_cast<std::uint32_t>(divide_by_e8(places));
    std::uint32_t thousands = first_nine / 1000;
    std::uint32_t millions = thousands / 1000;
    std::uint32_t lead = decimal::thousand_texts.three[millions];
    std::memcpy(out, &lead, 4);
    std::memcpy(out + 1, &lead, 4);  // the second and third digits one place on
    out[1] = '.';
    std::memcpy(out + 4, &decimal::thousand_texts.three[thousands - millions * 1000], 4);
    std::memcpy(out + 7, &decimal::thousand_texts.three[first_nine - thousands * 1000], 4);
    put_eight_places(out + 10, static_cast<std::uint32_t>(places - std::uint64_t{first_nine} * e8));
}

// The digits of a decimal scaled to seventeen places ('0's after the last significant
// one), and the count of its digits.
struct Places {
    std::uint64_t places;
    int count;
};

Places seventeen_places(std::uint64_t digits) {
    if (digits >= e16) {
        return {digits, 17};
    }
    if (digits >= e16 / 10) {
        return {digits * 10, 16};
    }
    int count = decimal_length(digits);
    return {digits * powers_of_ten[17 - count], count};
}

// d.ddde+XX, with at least two exponent digits, as repr(1e+16) and repr(1.5e-07). The
// decimal is 0.DIGITS * 10**point.
char* put_exponent_form(char* out, Places p, int point) {
    put_seventeen_with_point(out, p.places);
    out += p.count > 1 ? p.count + 1 : 1;  // the exponent overwrites the point of "1."
    std::uint64_t exponent = exponent_texts.words[point - 1 - least_exponent];
    std::memcpy(out, &exponent, 8);
    return out + (exponent >> 56);
}

// 0.ddd, with at most three zeros after the point before the digits (point <= 0).
char* put_small_form(char* out, Places p, int point) {
    std::memcpy(out, "0.000", 5);
    out += 2 - point;
    std::uint64_t first = p.places / e16;
    out[0] = static_cast<char>('0' + first);
    put_sixteen_places(out + 1, p.places - first * e16);
    return out + p.count;
}

// The digits of 0 < n < 10**16 without leading zeros, with room for sixteen more bytes
// after them; returns their end.
char* put_whole(char* out, std::uint64_t n) {
    if (n < 1000000) {
        return out + decimal::put_six_digits(out, static_cast<std::uint32_t>(n));
    }
    if (n < e8) {
        return out + decimal::put_eight_digits_fixed(out, static_cast<std::uint32_t>(n));
    }
    return put_integer(out, n);
}

// A whole number, d.digits * 10**d.exponent with d.exponent >= 0 and at most sixteen
// digits: its digits, '0's up to the point, then ".0".
char* put_whole_form(char* out, Decimal d, int point) {
    char* end = put_whole(out, d.digits);
    std::memcpy(end, "0000000000000000", 16);
    std::memcpy(out + point, ".0", 2);
    return out + point + 2;
}

// floor(n / 10**k) for n < 2**57 and 1 <= k <= 16: the high word of n * m shifted right
// by s, with m = ceil(2**(64 + s) / 10**k) and 64 + s = 63 + ceil(log2(10**k)). Then
// m < 2**64, and n * m / 2**(64 + s) exceeds n / 10**k by less than n / 2**(64 + s) <
// 2**-6 / 10**k, too little to reach the next integer.
struct PowerReciprocal {
    std::uint64_t multiplier;
    int shift;
};
struct PowerReciprocals {
    PowerReciprocal of[17];
};
constexpr PowerReciprocals power_reciprocals = [] {
    PowerReciprocals table{};
    for (int k = 1; k <= 16; ++k) {
        Wide power = powers_of_ten[k];
        int bits = 0;
        while ((Wide{1} << bits) < power) {
            ++bits;
        }
        Wide scaled = Wide{1} << (63 + bits);
        Wide multiplier = scaled / power + (scaled % power != 0);
        if (multiplier >> 64 != 0) {
            throw "a reciprocal takes more than a word";  // fails the build
        }
        table.of[k] = {static_cast<std::uint64_t>(multiplier), bits - 1};
    }
    return table;
}();

std::uint64_t divide_by_power_of_ten(std::uint64_t n, int k) {
    PowerReciprocal r = power_reciprocals.of[k];
    return static_cast<std::uint64_t>((Wide{n} * r.multiplier) >> 64) >> r.shift;
}

// ddd.ddd: the digits before the point are d.digits / 10**k, k = -d.exponent being the
// number of those after it (1 to 16); those after it, with their leading zeros, are the
// remainder scaled to sixteen places. The first store after the whole part overwrites
// what put_whole left after it.
char* put_fraction_form(char* out, Decimal d, int point, int count) {
    int k = -d.exponent;
    std::uint64_t whole = divide_by_power_of_ten(d.digits, k);
    put_whole(out, whole);
    out[point] = '.';
    put_sixteen_places(out + point + 1, (d.digits - whole * powers_of_ten[k]) * powers_of_ten[16 - k]);
    return out + count + 1;
}

#if defined(__x86_64__)
// The digits of n >= 10**8 with AVX-512 IFMA, where the processor has it and the text
// kernels are AVX-512 ones: lists of random 64-bit ints are written in 0.93 of the time.
// Each 64-bit lane makes one digit of a number below 10**8: the 52-bit product of the
// number and 2**52 / 10**k, rounded, is the fraction of the number over 10**k, and the
// high half of that fraction times 10 is the digit k places from the end. Each half of
// sixteen digits takes two registers of 256 bits, four digits each (multiplications on
// 512 bits lowered the clock of the whole core, and lists of ints among floats and text
// were written 4 to 8% more slowly); a byte permutation gathers each half's digits, and
// one shuffle drops the leading zeros.
namespace ifma {
// Per lane, the most significant digit first: ceil(2**52 / 10**k) for k = 8 to 1, whose
// error times a number below 10**8 stays below 2**52 / 10**k, the resolution of the
// digit, except for k = 8 (the first digit). There the reciprocal is rounded down and a
// bias makes up for the error, so that the fraction again errs upwards by less than the
// resolution (checked for every number below 10**8).
struct alignas(64) Constants {
    std::uint64_t reciprocals[8];
    std::uint64_t biases[8];
    std::uint8_t gather[32];  // byte 0 of each lane of two registers of four lanes
    std::uint8_t order[16];  // the lanes in order, from which the leading zeros are shifted out
};
constexpr Constants constants = {
    {45035996, 450359963, 4503599628, 45035996274, 450359962738, 4503599627371, 45035996273705, 450359962737050},
    {27370504, 0, 0, 0, 0, 0, 0, 0},
    {0, 8, 16, 24, 32, 40, 48, 56},
    {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}};

[[gnu::target("avx512f,avx512ifma,avx512vbmi,avx512vl,avx512bw")]] __m256i lanes(const std::uint64_t* values) {
    return _mm256_load_si256(reinterpret_cast<const __m256i*>(values));
}

// The eight digits of n < 10**8 as characters in the low eight bytes.
[[gnu::target("avx512f,avx512ifma,avx512vbmi,avx512vl,avx512bw")]] __m128i eight_chars(std::uint64_t n) {
    const __m256i ten = _mm256_set1_epi64x(10);
    const __m256i zero_chars = _mm256_set1_epi64x('0');
    __m256i number = _mm256_set1_epi64x(static_cast<long long>(n));
    __m256i first = _mm256_madd52lo_epu64(lanes(constants.biases), number, lanes(constants.reciprocals));
    __m256i second = _mm256_madd52lo_epu64(lanes(constants.biases + 4), number, lanes(constants.reciprocals + 4));
    first = _mm256_madd52hi_epu64(zero_chars, first, ten);
    second = _mm256_madd52hi_epu64(zero_chars, second, ten);
    __m256i gather = _mm256_load_si256(reinterpret_cast<const __m256i*>(constants.gather));
    return _mm256_castsi256_si128(_mm256_permutex2var_epi8(first, gather, second));
}

// The sixteen digits of high * 10**8 + low (both below 10**8) less the first `zeros`,
// as characters in one store of sixteen bytes.
[[gnu::target("avx512f,avx512ifma,avx512vbmi,avx512vl,avx512bw,bmi2,lzcnt")]] void put_sixteen(char* out, std::uint64_t high, std::uint64_t low, int zeros) {
    __m128i chars = _mm_unpacklo_epi64(eight_chars(high), eight_chars(low));
    __m128i order = _mm_add_epi8(_mm_load_si128(reinterpret_cast<const __m128i*>(constants.order)),
                                 _mm_set1_epi8(static_cast<char>(zeros)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_shuffle_epi8(chars, order));
}

// put_integer's digits, made as above.
[[gnu::target("avx512f,avx512ifma,avx512vbmi,avx512vl,avx512bw,bmi2,lzcnt")]] char* put_integer(char* out, std::uint64_t n) {
    if (n < e16) {
        std::uint64_t high = divide_by_e8(n);
        int length = decimal_length(n);
        put_sixteen(out, high, n - high * e8, 16 - length);
        return out + length;
    }
    std::uint64_t top = n / e16;  // at most 1844
    std::uint64_t rest = n - top * e16;
    std::uint64_t high = divide_by_e8(rest);
    int lead = put_four_digits(out, static_cast<std::uint32_t>(top));
    put_sixteen(out + lead, high, rest - high * e8, 0);
    return out + lead + 16;
}
}  // namespace ifma

#endif

// Ints from 2**64 on are cut into chunks of nineteen digits, the remainders of
// divisions by 10**19 of the whole int, word by word from the top. Each word's
// division is a multiplication by a reciprocal (Moller and Granlund, "Improved division
// by invariant integers", 2011), as 10**19 is at least 2**63: a hardware division of
// two words by one costs several times as much, and aarch64 has none.
constexpr std::uint64_t e19 = 10000000000000000000ULL;
constexpr std::uint64_t e19_reciprocal = static_cast<std::uint64_t>(~Wide{0} / e19);  // less 2**64

// (high * 2**64 + low) / 10**19 for high < 10**19; the remainder goes to high.
std::uint64_t divide_word(std::uint64_t& high, std::uint64_t low) {
    Wide estimate = Wide{e19_reciprocal} * high + (Wide{high} << 64 | low);
    auto quotient = static_cast<std::uint64_t>(estimate >> 64) + 1;
    std::uint64_t rest = low - quotient * e19;
    if (rest > static_cast<std::uint64_t>(estimate)) {
        --quotient;
        rest += e19;
    }
    if (rest >= e19) [[unlikely]] {
        ++quotient;
        rest -= e19;
    }
    high = rest;
    return quotient;
}

// Divides the words (the least significant first) by 10**19 in place; returns the
// remainder.
std::uint64_t divide_by_e19(std::uint64_t* words, std::size_t count) {
    std::uint64_t rest = 0;
    for (std::size_t i = count; i-- > 0;) {
        words[i] = divide_word(rest, words[i]);
    }
    return rest;
}

// The nineteen digits of n < 10**19, leading zeros included: the first three from the
// table, the other sixteen in one store over the fourth byte it wrote.
char* put_nineteen_digits(char* out, std::uint64_t n) {
    std::memcpy(out, &decimal::thousand_texts.three[n / e16], 4);
    SixteenDigits(n % e16).put(out + 3);
    return out + 19;
}

// int_text for magnitudes from 2**64 to 2**256: the chunks from the least significant
// on, until what is left is below 10**19, then written from the most, the first
// without its leading zeros. A call of its own, out of the way of shorter ints.
[[gnu::noinline]] Py_ssize_t wide_int_text(PyObject* obj, char* out) {
    std::uint64_t words[wide_int_words];
    bool negative;
    if (!wide_int_magnitude(obj, words, negative)) {
        return -1;  // str() has its own rules for large numbers
    }
    std::size_t count = wide_int_words;
    while (words[count - 1] == 0) {
        --count;
    }
    constexpr std::size_t most_chunks = wide_int_words;  // 2**256 < 10**78 < 10**(19 * 4 + 19)
    std::uint64_t chunks[most_chunks];
    std::size_t chunk_count = 0;
    while (count > 1 || words[0] >= e19) {
        chunks[chunk_count++] = divide_by_e19(words, count);
        count -= words[count - 1] == 0;
    }
    char digits[19 * (most_chunks + 1)];
    char* end = put_nineteen_digits(digits, words[0]);
    while (chunk_count > 0) {
        end = put_nineteen_digits(end, chunks[--chunk_count]);
    }
    const char* first = digits + 19 - decimal::length(words[0]);
    out[0] = '-';  // kept only for a negative number
    std::memcpy(out + negative, first, static_cast<std::size_t>(end - first));
    return negative + (end - first);
}

// "nan", "inf" or "-inf", from a double's bits.
std::size_t special_text(std::uint64_t bits, char* out) {
    if ((bits << 12) != 0) {
        return static_cast<std::size_t>(put(out, "nan", 3) - out);  // whatever its sign
    }
    return (bits >> 63) != 0 ? static_cast<std::size_t>(put(out, "-inf", 4) - out)
                             : static_cast<std::size_t>(put(out, "inf", 3) - out);
}

}  // namespace

namespace {

// long_int_text with the digits of magnitudes from 10**8 to 2**64 made by put_digits.
template <char* (*put_digits)(char*, std::uint64_t)>
[[gnu::always_inline]] inline Py_ssize_t long_int_text_with(PyObject* obj, char* out) {
    std::uint64_t magnitude;
    bool negative;
    if (!int_magnitude(obj, magnitude, negative)) {
        return wide_int_text(obj, out);
    }
    out[0] = '-';  // kept only for a negative number
    // An int of more than one digit is at least 2**30 > 10**8, unless digits are short.
    if (PyLong_SHIFT < 27 && magnitude < e8) {
        return negative + put_eight_digits(out + negative, static_cast<std::uint32_t>(magnitude));
    }
    return put_digits(out + negative, magnitude) - out;
}

#if defined(__x86_64__)
[[gnu::target("avx512f,avx512ifma,avx512vbmi,avx512vl,avx512bw,bmi2,lzcnt")]] [[gnu::noinline]] Py_ssize_t
ifma_long_int_text(PyObject* obj, char* out) {
    return long_int_text_with<ifma::put_integer>(obj, out);
}

// Chosen once, when the module loads.
bool choose_ifma() {
    __builtin_cpu_init();  // may run before the C library's own initialisation of it
    return kernels::avx512() && __builtin_cpu_supports("avx512ifma") && __builtin_cpu_supports("avx512vbmi");
}
const bool ifma_digits = choose_ifma();
#endif

}  // namespace

// The kernel is chosen on entry, so that the portable path keeps its code as it was: a
// choice around the digits alone cost it seven instructions an int.
Py_ssize_t long_int_text(PyObject* obj, char* out) {
#if defined(__x86_64__)
    if (ifma_digits) {
        return ifma_long_int_text(obj, out);
    }
#endif
    return long_int_text_with<put_integer>(obj, out);
}

namespace {

// A float's shortest digits, found apart from their layout (put_float_digits), so that
// the digits of two floats can be found before either is laid out.
struct FloatDigits {
    std::uint64_t bits;  // the float's
    std::uint64_t digits;  // a finite non-zero float's magnitude is digits * 10**exponent
    int exponent;
};

[[gnu::always_inline]] inline FloatDigits float_digits(double value) {
    auto bits = std::bit_cast<std::uint64_t>(value);
    std::uint64_t unsigned_bits = bits << 1;  // the exponent and the fraction
    if (unsigned_bits == 0 || unsigned_bits >= std::uint64_t{0x7FF} << 53) [[unlikely]] {
        return {bits, 0, 0};
    }
    Decimal decimal = shortest(std::fabs(value));
    return {bits, decimal.digits, decimal.exponent};
}

// str() of the float at out; returns its size.
[[gnu::always_inline]] inline std::size_t put_float_digits(const FloatDigits& f, char* out) {
    std::uint64_t unsigned_bits = f.bits << 1;
    if (unsigned_bits >= std::uint64_t{0x7FF} << 53) [[unlikely]] {
        return special_text(f.bits, out);
    }
    char* start = out;
    out[0] = '-';  // kept only for a negative number
    out += f.bits >> 63;
    if (unsigned_bits == 0) {
        return static_cast<std::size_t>(put(out, "0.0", 3) - start);
    }
    Decimal decimal{f.digits, f.exponent};
    if (decimal.digits < short_digits) {
        double magnitude = std::bit_cast<double>(f.bits & ~(std::uint64_t{1} << 63));
        if (char* end = put_short_positional(out, decimal, positional_point(magnitude))) {
            return static_cast<std::size_t>(end - start);
        }
    }
    Places places = seventeen_places(decimal.digits);
    int point = places.count + decimal.exponent;  // the decimal is 0.DIGITS * 10**point
    // repr switches to the exponent form below 1e-4 and from 1e16 on.
    if (point <= -4 || point > 16) {
        out = put_exponent_form(out, places, point);
    } else if (point <= 0) {
        out = put_small_form(out, places, point);
    } else if (decimal.exponent >= 0) {
        out = put_whole_form(out, decimal, point);
    } else {
        out = put_fraction_form(out, decimal, point, places.count);
    }
    return static_cast<std::size_t>(out - start);
}

}  // namespace

// Both flattened: with the layout inlined in three places, GCC kept Dragonbox's search
// and the forms as calls of their own (a dict of 1,000 floats took 8,000 instructions
// more, and list-1000-floats was no faster).
[[gnu::flatten]] std::size_t float_text(double value, char* out) { return put_float_digits(float_digits(value), out); }

[[gnu::flatten]] unsigned char* put_two_float_items(double first, double second, unsigned char* out) {
    FloatDigits first_digits = float_digits(first);
    FloatDigits second_digits = float_digits(second);
    std::size_t size = put_float_digits(first_digits, reinterpret_cast<char*>(out + 1));
    out[0] = static_cast<unsigned char>(size);
    out += 1 + size;
    size = put_float_digits(second_digits, reinterpret_cast<char*>(out + 1));
    out[0] = static_cast<unsigned char>(size);
    return out + 1 + size;
}

}  // namespace zav
