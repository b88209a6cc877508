// The text of numbers as str() gives it, written straight into a buffer: the shortest
// decimal digits that read back as the same double, laid out by Python's rules.
#include "serializer.h"

#include <charconv>
#include <cmath>
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

// The digits and the decimal exponent of the shortest form: value = 0.DIGITS * 10**point.
struct Shortest {
    char digits[24];
    int count = 0;
    int point = 0;
    bool negative = false;

    // From the scientific form that to_chars gives: [-]d[.ddd]e(+|-)XX[X].
    explicit Shortest(double value) {
        char text[40];
        char* end = std::to_chars(text, text + sizeof text, value, std::chars_format::scientific).ptr;
        const char* p = text;
        negative = *p == '-';
        p += negative;
        digits[count++] = *p++;
        if (*p == '.') {
            for (++p; *p != 'e'; ++p) {
                digits[count++] = *p;
            }
        }
        bool negative_exponent = p[1] == '-';
        int exponent = 0;
        for (p += 2; p < end; ++p) {
            exponent = exponent * 10 + (*p - '0');
        }
        point = (negative_exponent ? -exponent : exponent) + 1;
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
