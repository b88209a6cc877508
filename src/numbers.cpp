// The text of numbers as str() gives it, written straight into a buffer: the shortest
// decimal digits that read back as the same double, laid out by Python's rules.
#include "serializer.h"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace zav {

namespace {

char* put(char* out, const char* text, std::size_t n) {
    std::memcpy(out, text, n);
    return out + n;
}

char* put_zeros(char* out, int n) {
    for (int i = 0; i < n; ++i) {
        *out++ = '0';
    }
    return out;
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

// The decimal digits of n, at most 20, right-aligned to end; returns where they start.
char* put_digits_before(char* end, std::uint64_t n) {
    while (n >= 100) {
        end -= 2;
        std::memcpy(end, digit_pairs + 2 * (n % 100), 2);
        n /= 100;
    }
    if (n >= 10) {
        end -= 2;
        std::memcpy(end, digit_pairs + 2 * n, 2);
    } else {
        *--end = static_cast<char>('0' + n);
    }
    return end;
}

// The digits and the decimal exponent of the shortest form: value = 0.DIGITS * 10**point.
struct Shortest {
    char digits[24];
    int count = 0;
    int point = 0;
    bool negative = false;

    // For a finite double.
    explicit Shortest(double value) {
        auto bits = std::bit_cast<std::uint64_t>(value);
        negative = (bits >> 63) != 0;
        bits &= ~(1ULL << 63);
        Decimal d = bits == 0 ? Decimal{0, 0} : schubfach::shortest(bits);
        char text[24];
        char* end = text + sizeof text;
        char* start = put_digits_before(end, d.digits);
        while (end - start > 1 && end[-1] == '0') {
            --end;
        }
        count = static_cast<int>(end - start);
        std::memcpy(digits, start, static_cast<std::size_t>(count));
        point = d.exponent + static_cast<int>(text + sizeof text - start);
    }
};

// d.ddde+XX, with at least two exponent digits, as repr(1e+16) and repr(1.5e-07).
char* put_exponent_form(char* out, const Shortest& s) {
    *out++ = s.digits[0];
    if (s.count > 1) {
        *out++ = '.';
        out = put(out, s.digits + 1, static_cast<std::size_t>(s.count - 1));
    }
    int exponent = s.point - 1;
    *out++ = 'e';
    *out++ = exponent < 0 ? '-' : '+';
    int magnitude = exponent < 0 ? -exponent : exponent;
    if (magnitude < 10) {
        *out++ = '0';
    }
    return std::to_chars(out, out + 4, magnitude).ptr;
}

// Digits around a decimal point, with ".0" for a whole number.
char* put_positional_form(char* out, const Shortest& s) {
    if (s.point <= 0) {
        out = put(out, "0.", 2);
        out = put_zeros(out, -s.point);
        return put(out, s.digits, static_cast<std::size_t>(s.count));
    }
    if (s.point < s.count) {
        out = put(out, s.digits, static_cast<std::size_t>(s.point));
        *out++ = '.';
        return put(out, s.digits + s.point, static_cast<std::size_t>(s.count - s.point));
    }
    out = put(out, s.digits, static_cast<std::size_t>(s.count));
    out = put_zeros(out, s.point - s.count);
    return put(out, ".0", 2);
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
    Shortest s(value);
    if (s.negative) {
        *out++ = '-';
    }
    // repr switches to the exponent form below 1e-4 and from 1e16 on.
    bool exponent_form = s.point <= -4 || s.point > 16;
    out = exponent_form ? put_exponent_form(out, s) : put_positional_form(out, s);
    return static_cast<std::size_t>(out - start);
}

}  // namespace zav
