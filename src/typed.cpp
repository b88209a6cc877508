// zav._typed: reads a map record into an object of a record class by a plan compiled
// once by zav.typed, without a Python call per field for the common types. The plan
// holds, per field, its name, its key's bytes, how its text is parsed and what its
// absence means. Ints of up to 19 digits and decimal floats are parsed here; every other
// form goes to the field's Python parser (int(), float(), ...), so that results and
// errors are always theirs. Anything unusual about the record itself (a corrupt length,
// a key that is not UTF-8) is left to the plan's Python model, whose reader raises what
// _deserialize_dict raises.
#include "date_texts.h"
#include "list_items.h"
#include "output_buffer.h"
#include "numbers.h"
#include "serializer.h"
#include "varnum.h"

#include <fast_float/fast_float.h>

#if defined(__x86_64__)
#include <emmintrin.h>
#elif defined(__aarch64__)
#include <arm_neon.h>
#endif

#include <bit>
#include <cstddef>
#include <cmath>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

namespace zav::typed {
namespace {

// Must match zav/typed.py.
enum Kind : int { kind_str, kind_bytes, kind_int, kind_float, kind_bool, kind_other, kind_enum, kind_text };
enum Absent : int { absent_required, absent_none, absent_default, absent_factory, absent_left_out };
enum Make : int { make_dict_class, make_slots_class, make_tuple_class, make_typeddict };

struct FieldPlan {
    Ref name;
    Ref key;  // bytes
    Ref parse;
    Ref fallback_value;  // the default, or the default factory
    int kind;
    int absent;
    Ref dump;  // the Python writer of a value: what the plain writers take, or its TypeError
    bool optional;  // None is written as the key's absence
};

struct Plan {
    Ref cls;
    Ref cls_name;
    Ref post_init;  // None, or called with the new object
    Ref fallback;   // the Python model's load
    Ref written_type;  // what dump takes: the class, or dict for a TypedDict
    Ref check_keys;    // the Python model's check of a TypedDict's keys
    std::vector<FieldPlan> fields;
    int make;
    bool forbid_unknown;
};

struct PlanObject {
    PyObject_HEAD
    Plan* plan;
};

// Where a field's text lies in the record; data is null where the field is absent.
struct Span {
    const char* data;
    Py_ssize_t size;
};

// ---------------------------------------------------------------------------
// Text to values

constexpr std::uint64_t ascii_zeros = 0x3030303030303030ULL;

// The value of eight ASCII digits in a word, in memory order; a byte that is no digit
// sets bits of bad. Pairs, then fours, then all eight are combined in the word's lanes.
inline std::uint64_t eight_digits(std::uint64_t chunk, std::uint64_t& bad) {
    constexpr std::uint64_t high = 0xF0F0F0F0F0F0F0F0ULL;
    bad |= ((chunk & high) | (((chunk + 0x0606060606060606ULL) & high) >> 4)) ^ (ascii_zeros | ascii_zeros >> 4);
    chunk -= ascii_zeros;
    chunk = (chunk * 10 + (chunk >> 8)) & 0x00FF00FF00FF00FFULL;
    chunk = (chunk * 100 + (chunk >> 16)) & 0x0000FFFF0000FFFFULL;
    return (chunk * 10000 + (chunk >> 32)) & 0xFFFFFFFFULL;
}

inline std::uint64_t word_at(const char* p) {
    std::uint64_t word;
    std::memcpy(&word, p, sizeof word);
    return word;
}

// The count (1 to 8) digits that end at end as a word of eight with leading zeros; the
// eight bytes before end lie in the text's bytes object.
inline std::uint64_t trailing_digits(const char* end, Py_ssize_t count) {
    std::uint64_t number = ~std::uint64_t{0} << (8 * (8 - count));
    return (word_at(end - 8) & number) | (ascii_zeros & ~number);
}

// sixteen_digits (below) in words of eight, for processors without a vector path;
// compiled on every processor, so that it is checked where it goes unused.
[[maybe_unused]] inline bool sixteen_digits_in_words(const char* end, Py_ssize_t count, std::uint64_t& value) {
    std::uint64_t bad = 0;
    value = count > 8 ? eight_digits(trailing_digits(end - 8, count - 8), bad) * 100000000 + eight_digits(word_at(end - 8), bad)
                      : eight_digits(trailing_digits(end, count), bad);
    return bad == 0;
}

// The value of the count (1 to 16) ASCII digits that end at end, sixteen lanes at once:
// the lanes before the number masked to zero, then pairs, fours and eights summed by
// multiply-adds; false where a byte is no digit. It reads the 16 bytes before end: every
// text parsed here lies in a bytes object, whose head comes before its data.
static_assert(offsetof(PyBytesObject, ob_sval) >= 16, "a text's 16 bytes before its end lie in its bytes object");
#if defined(__x86_64__)
inline bool sixteen_digits(const char* end, Py_ssize_t count, std::uint64_t& value) {
    // SSE2 alone, which every x86-64 has: the bytes widened to words for pmaddwd.
    const __m128i lanes = _mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    __m128i used = _mm_cmpgt_epi8(lanes, _mm_set1_epi8(static_cast<char>(15 - count)));
    __m128i digits = _mm_and_si128(_mm_sub_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(end - 16)),
                                                _mm_set1_epi8('0')), used);
    const __m128i nine = _mm_set1_epi8(9);
    if (_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_max_epu8(digits, nine), nine)) != 0xFFFF) {
        return false;
    }
    const __m128i zero = _mm_setzero_si128();
    const __m128i tens = _mm_setr_epi16(10, 1, 10, 1, 10, 1, 10, 1);
    __m128i pairs = _mm_packs_epi32(_mm_madd_epi16(_mm_unpacklo_epi8(digits, zero), tens),
                                    _mm_madd_epi16(_mm_unpackhi_epi8(digits, zero), tens));
    __m128i fours = _mm_madd_epi16(pairs, _mm_setr_epi16(100, 1, 100, 1, 100, 1, 100, 1));
    __m128i eights = _mm_madd_epi16(_mm_packs_epi32(fours, fours), _mm_setr_epi16(10000, 1, 10000, 1, 10000, 1, 10000, 1));
    auto both = static_cast<std::uint64_t>(_mm_cvtsi128_si64(eights));
    value = (both & 0xFFFFFFFFU) * 100000000 + (both >> 32);
    return true;
}
#elif defined(__aarch64__)
inline bool sixteen_digits(const char* end, Py_ssize_t count, std::uint64_t& value) {
    const uint8x16_t lanes = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
    uint8x16_t used = vcgeq_u8(lanes, vdupq_n_u8(static_cast<std::uint8_t>(16 - count)));
    uint8x16_t digits = vandq_u8(vsubq_u8(vld1q_u8(reinterpret_cast<const std::uint8_t*>(end - 16)), vdupq_n_u8('0')), used);
    if (vmaxvq_u8(digits) > 9) {
        return false;
    }
    const uint8x16_t tens = {10, 1, 10, 1, 10, 1, 10, 1, 10, 1, 10, 1, 10, 1, 10, 1};
    const uint16x8_t hundreds = {100, 1, 100, 1, 100, 1, 100, 1};
    const uint32x4_t ten_thousands = {10000, 1, 10000, 1};
    uint16x8_t pairs = vpaddlq_u8(vmulq_u8(digits, tens));
    uint32x4_t fours = vpaddlq_u16(vmulq_u16(pairs, hundreds));
    uint64x2_t eights = vpaddlq_u32(vmulq_u32(fours, ten_thousands));
    value = vgetq_lane_u64(eights, 0) * 100000000 + vgetq_lane_u64(eights, 1);
    return true;
}
#else
inline bool sixteen_digits(const char* end, Py_ssize_t count, std::uint64_t& value) {
    return sixteen_digits_in_words(end, count, value);
}
#endif

// The value of count (1 to 19) ASCII digits at p; false where a byte is no digit. A
// number of more than sixteen digits is read as its last sixteen and the one to three
// before them, each by the same path: a loop over the digits mispredicted its end for
// every tenth random int.
inline bool digits_value(const char* p, Py_ssize_t count, std::uint64_t& value) {
    if (count <= 16) {
        return sixteen_digits(p + count, count, value);
    }
    std::uint64_t high;
    if (!sixteen_digits(p + count - 16, count - 16, high) || !sixteen_digits(p + count, 16, value)) {
        return false;
    }
    value += high * 10000000000000000ULL;
    return true;
}

// An int of at most 19 digits with an optional sign, as int() reads it; an empty Ref
// without an exception for any other form.
Ref fast_int(const char* p, Py_ssize_t n) {
    bool negative = n > 0 && p[0] == '-';
    Py_ssize_t start = n > 0 && (p[0] == '-' || p[0] == '+') ? 1 : 0;
    Py_ssize_t digits = n - start;
    std::uint64_t value;
    if (digits < 1 || digits > 19 || !digits_value(p + start, digits, value)) {
        return Ref();
    }
    if (value <= static_cast<std::uint64_t>(INT64_MAX)) {
        // One call for either sign: the sign of random ints is a branch mispredicted
        // half the time.
        auto magnitude = static_cast<long long>(value);
        return Ref::steal(PyLong_FromLongLong(negative ? -magnitude : magnitude));
    }
    if (!negative) {
        return Ref::steal(PyLong_FromUnsignedLongLong(value));
    }
    Ref magnitude = Ref::steal(PyLong_FromUnsignedLongLong(value));
    return magnitude ? Ref::steal(PyNumber_Negative(magnitude.get())) : Ref();
}

// A finite float written in decimal digits, sign, point and exponent, as float() reads
// it; an empty Ref without an exception for any other form (spaces, underscores, a
// leading +, non-ASCII digits), for the words fast_float also reads (inf, nan: float()
// spells their signs its own way), and where the value is out of range.
Ref fast_float_value(const char* p, Py_ssize_t n) {
    double value = 0;
    auto result = fast_float::from_chars(p, p + n, value);
    if (result.ec != std::errc() || result.ptr != p + n || !std::isfinite(value)) {
        return Ref();
    }
    return Ref::steal(PyFloat_FromDouble(value));
}

// The value of text that the fast paths do not take: the parser's (int(), float(), ...).
Ref parse_other(PyObject* parser, Span text) {
    Ref raw = Ref::steal(PyBytes_FromStringAndSize(text.data, text.size));
    if (!raw) {
        return Ref();
    }
    PyObject* arg = raw.get();
    return Ref::steal(PyObject_Vectorcall(parser, &arg, 1, nullptr));
}

// An enum's parser as the schema hands it over: (texts, members, parse), the bytes of
// str() of each member's value, the members in the same order, and the Python parser
// for any other text (which calls the class).
bool is_enum_parser(PyObject* parser) {
    if (!PyTuple_CheckExact(parser) || PyTuple_GET_SIZE(parser) != 3) {
        return false;
    }
    PyObject* texts = PyTuple_GET_ITEM(parser, 0);
    PyObject* members = PyTuple_GET_ITEM(parser, 1);
    if (!PyTuple_CheckExact(texts) || !PyTuple_CheckExact(members) || PyTuple_GET_SIZE(texts) != PyTuple_GET_SIZE(members)) {
        return false;
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(texts); ++i) {
        if (!PyBytes_CheckExact(PyTuple_GET_ITEM(texts, i))) {
            return false;
        }
    }
    return true;
}

// The member whose value's text is text, or null (no exception): what the class gives
// for it, found without a call. Enums are short: their texts are compared in turn.
PyObject* enum_member(PyObject* parser, Span text) {
    PyObject* texts = PyTuple_GET_ITEM(parser, 0);
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(texts); ++i) {
        PyObject* known = PyTuple_GET_ITEM(texts, i);
        if (PyBytes_GET_SIZE(known) == text.size && std::memcmp(PyBytes_AS_STRING(known), text.data, text.size) == 0) {
            return PyTuple_GET_ITEM(PyTuple_GET_ITEM(parser, 1), i);
        }
    }
    return nullptr;
}

// The bytes of str() of a member's value, or null where value is none of the members.
PyObject* member_text(PyObject* parser, PyObject* value) {
    PyObject* members = PyTuple_GET_ITEM(parser, 1);
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(members); ++i) {
        if (PyTuple_GET_ITEM(members, i) == value) {
            return PyTuple_GET_ITEM(PyTuple_GET_ITEM(parser, 0), i);
        }
    }
    return nullptr;
}

// A parser of a type that reads its own str() back (Decimal, UUID, the datetime types)
// as the schema hands it over: (tp, parse, model, form, made): parse takes the text as
// a str, model is the Python parser of its bytes, whose errors are the model's; form
// says which of the datetime module's types tp is (dates::Form), or form_uuid, and for
// that made is what a UUID made natively takes: ("int", "is_safe", SafeUUID.unknown).
constexpr int form_uuid = dates::form_time + 1;

bool is_text_parser(PyObject* parser) {
    if (!PyTuple_CheckExact(parser) || PyTuple_GET_SIZE(parser) != 5 || !PyType_Check(PyTuple_GET_ITEM(parser, 0)) ||
        !PyLong_CheckExact(PyTuple_GET_ITEM(parser, 3))) {
        return false;
    }
    int form = PyLong_AsInt(PyTuple_GET_ITEM(parser, 3));
    PyObject* made = PyTuple_GET_ITEM(parser, 4);
    bool uuid_made = PyTuple_CheckExact(made) && PyTuple_GET_SIZE(made) == 3 &&
                     PyUnicode_CheckExact(PyTuple_GET_ITEM(made, 0)) && PyUnicode_CheckExact(PyTuple_GET_ITEM(made, 1));
    return form >= dates::form_other && form <= form_uuid && (form != form_uuid || uuid_made);
}

int form_of(PyObject* parser) {
    return PyLong_AsInt(PyTuple_GET_ITEM(parser, 3));  // checked by is_text_parser
}

// The most a text written by native_text takes: a UUID's.
constexpr std::size_t most_native_text = 36;
static_assert(most_native_text >= dates::most_text);

// Writes str(value) of a UUID at out (room for 36 bytes): the 32 hex digits of its int
// (the attribute int_name names) in groups of 8-4-4-4-12; false where that is no exact
// int below 2**128, of which str() then says what it makes. Its str() is Python code:
// twelve times as long.
bool uuid_text(PyObject* value, PyObject* int_name, char* out) {
    Ref number = Ref::steal(PyObject_GetAttr(value, int_name));
    unsigned char bytes[16];
    Py_ssize_t size = number && PyLong_CheckExact(number.get())
                          ? PyLong_AsNativeBytes(number.get(), bytes, sizeof bytes,
                                                 Py_ASNATIVEBYTES_BIG_ENDIAN | Py_ASNATIVEBYTES_UNSIGNED_BUFFER |
                                                     Py_ASNATIVEBYTES_REJECT_NEGATIVE)
                          : -1;
    if (size < 0 || size > static_cast<Py_ssize_t>(sizeof bytes)) {
        PyErr_Clear();
        return false;
    }
    static constexpr char hex[] = "0123456789abcdef";
    for (int i = 0, at = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) {
            out[at++] = '-';
        }
        out[at++] = hex[bytes[i] >> 4];
        out[at++] = hex[bytes[i] & 15];
    }
    return true;
}

// Writes str(value) at out (room for most_native_text bytes) where value is exactly of
// the parser's type and one whose text is made here: a naive datetime, date or time, or
// a UUID; returns its size, or 0 for any other value.
std::size_t native_text(PyObject* parser, PyObject* value, char* out) {
    if (reinterpret_cast<PyObject*>(Py_TYPE(value)) != PyTuple_GET_ITEM(parser, 0)) {
        return 0;
    }
    int form = form_of(parser);
    if (form == form_uuid) {
        return uuid_text(value, PyTuple_GET_ITEM(PyTuple_GET_ITEM(parser, 4), 0), out) ? 36 : 0;
    }
    return dates::naive_text(value, static_cast<dates::Form>(form), out);
}

// The value of hex digit c, or -1.
int hex_value(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    c = static_cast<char>(c | 0x20);
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// The UUID of a text in the form its str() writes (hex digits in groups of 8-4-4-4-12,
// of either case, as UUID() takes them), made as UUID._from_int makes one: object's
// new, then its int and is_safe set past the class's __setattr__. Empty, without an
// exception, for any other text, which UUID() reads.
Ref canonical_uuid(PyObject* parser, Span text) {
    unsigned char bytes[16];
    if (text.size != 36) {
        return Ref();
    }
    for (int at = 0, i = 0; at < 36; ++i) {
        if (at == 8 || at == 13 || at == 18 || at == 23) {
            if (text.data[at++] != '-') {
                return Ref();
            }
        }
        int high = hex_value(text.data[at]);
        int low = hex_value(text.data[at + 1]);
        if ((high | low) < 0) {
            return Ref();
        }
        bytes[i] = static_cast<unsigned char>(high << 4 | low);
        at += 2;
    }
    auto* type = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(parser, 0));
    Ref no_args = Ref::steal(PyTuple_New(0));
    Ref uuid = no_args ? Ref::steal(PyBaseObject_Type.tp_new(type, no_args.get(), nullptr)) : Ref();
    Ref number = Ref::steal(PyLong_FromNativeBytes(bytes, sizeof bytes, Py_ASNATIVEBYTES_BIG_ENDIAN |
                                                                        Py_ASNATIVEBYTES_UNSIGNED_BUFFER));
    PyObject* made = PyTuple_GET_ITEM(parser, 4);
    bool set = uuid && number && PyObject_GenericSetAttr(uuid.get(), PyTuple_GET_ITEM(made, 0), number.get()) == 0 &&
               PyObject_GenericSetAttr(uuid.get(), PyTuple_GET_ITEM(made, 1), PyTuple_GET_ITEM(made, 2)) == 0;
    return set ? std::move(uuid) : Ref();
}

// The value of a text parsed as a str by the type's own parser; where that fails, the
// model's parser of its bytes, which raises the model's error (the parsers run no
// code of the user's: running one again costs only time).
Ref text_type_value(PyObject* parser, Span text) {
    if (form_of(parser) == form_uuid) {
        if (Ref uuid = canonical_uuid(parser, text); uuid || PyErr_Occurred()) {
            return uuid;
        }
    }
    Ref str = Ref::steal(utf8::decode(text.data, text.size));
    PyObject* arg = str.get();
    Ref value = str ? Ref::steal(PyObject_Vectorcall(PyTuple_GET_ITEM(parser, 1), &arg, 1, nullptr)) : Ref();
    if (value) {
        return value;
    }
    PyErr_Clear();
    return parse_other(PyTuple_GET_ITEM(parser, 2), text);
}

// str(value) where value is exactly of the parser's type and native_text left it: a
// Decimal, or a UUID whose int is not its own; else empty, without an exception unless
// str() failed. (An aware datetime's str() asks its tzinfo: the codec's writer calls it.)
Ref own_text(PyObject* parser, PyObject* value) {
    int form = form_of(parser);
    if (reinterpret_cast<PyObject*>(Py_TYPE(value)) != PyTuple_GET_ITEM(parser, 0) ||
        (form != dates::form_other && form != form_uuid)) {
        return Ref();
    }
    return Ref::steal(PyObject_Str(value));
}

// Whether parser is what a field of the kind takes; TypeError where not.
bool parser_fits(int kind, PyObject* parser) {
    if (kind < kind_str || kind > kind_text || (kind == kind_enum && !is_enum_parser(parser)) ||
        (kind == kind_text && !is_text_parser(parser))) {
        PyErr_SetString(PyExc_TypeError, "a field's kind and parser do not fit");
        return false;
    }
    return true;
}

// The value of text of a field of the given kind; inline, so that a loop over the items
// of one kind has its own copy.
template <int Kind>
[[gnu::always_inline]] inline Ref parse_as(PyObject* parser, Span text) {
    if constexpr (Kind == kind_str) {
        return Ref::steal(utf8::decode(text.data, text.size));  // the plain reader's strs and errors
    } else if constexpr (Kind == kind_bytes) {
        return Ref::steal(PyBytes_FromStringAndSize(text.data, text.size));
    } else if constexpr (Kind == kind_int || Kind == kind_float) {
        Ref value = Kind == kind_int ? fast_int(text.data, text.size) : fast_float_value(text.data, text.size);
        return value || PyErr_Occurred() ? std::move(value) : parse_other(parser, text);
    } else if constexpr (Kind == kind_bool) {
        if (text.size == 4 && std::memcmp(text.data, "True", 4) == 0) {
            return Ref::borrow(Py_True);
        }
        if (text.size == 5 && std::memcmp(text.data, "False", 5) == 0) {
            return Ref::borrow(Py_False);
        }
        return parse_other(parser, text);  // which raises its ValueError
    } else if constexpr (Kind == kind_enum) {
        PyObject* member = enum_member(parser, text);
        return member ? Ref::borrow(member) : parse_other(PyTuple_GET_ITEM(parser, 2), text);
    } else if constexpr (Kind == kind_text) {
        return text_type_value(parser, text);
    } else {
        return parse_other(parser, text);
    }
}

// Calls f with the kind as a compile-time constant.
template <class F>
[[gnu::always_inline]] inline auto with_kind(int kind, F f) {
    switch (kind) {
    case kind_str:
        return f(std::integral_constant<int, kind_str>{});
    case kind_bytes:
        return f(std::integral_constant<int, kind_bytes>{});
    case kind_int:
        return f(std::integral_constant<int, kind_int>{});
    case kind_float:
        return f(std::integral_constant<int, kind_float>{});
    case kind_bool:
        return f(std::integral_constant<int, kind_bool>{});
    case kind_enum:
        return f(std::integral_constant<int, kind_enum>{});
    case kind_text:
        return f(std::integral_constant<int, kind_text>{});
    default:
        return f(std::integral_constant<int, kind_other>{});
    }
}

// The value of one field's text.
Ref parse(const FieldPlan& field, Span text) {
    return with_kind(field.kind, [&](auto kind) { return parse_as<decltype(kind)::value>(field.parse.get(), text); });
}

void add_note(PyObject* error, PyObject* note) {
    Ref added = Ref::steal(PyObject_CallMethod(error, "add_note", "O", note));
    if (!added) {
        PyErr_Clear();
    }
}

// Adds "in field 'NAME' of CLASS" to the pending exception.
void note_field(const Plan& plan, const FieldPlan& field) {
    Ref error = Ref::steal(PyErr_GetRaisedException());
    if (!PyErr_GivenExceptionMatches(error.get(), PyExc_MemoryError)) {
        Ref note = Ref::steal(PyUnicode_FromFormat("in field %R of %U", field.name.get(), plan.cls_name.get()));
        if (note) {
            add_note(error.get(), note.get());
        } else {
            PyErr_Clear();
        }
    }
    PyErr_SetRaisedException(error.release());
}

// ---------------------------------------------------------------------------
// The record's pairs

enum class Scan { done, unusual, failed };

template <class Word>
Word load(const char* p) {
    Word word;
    std::memcpy(&word, p, sizeof word);
    return word;
}

// Whether n bytes at a and b are the same. Keys are short, and for them a call of
// memcmp costs more than comparing two overlapping words.
inline bool same_bytes(const char* a, const char* b, std::size_t n) {
    if (n >= 8 && n <= 16) {
        return load<std::uint64_t>(a) == load<std::uint64_t>(b) &&
               load<std::uint64_t>(a + n - 8) == load<std::uint64_t>(b + n - 8);
    }
    if (n >= 4 && n < 8) {
        return load<std::uint32_t>(a) == load<std::uint32_t>(b) &&
               load<std::uint32_t>(a + n - 4) == load<std::uint32_t>(b + n - 4);
    }
    if (n < 4) {
        return n == 0 || (a[0] == b[0] && a[n / 2] == b[n / 2] && a[n - 1] == b[n - 1]);
    }
    return std::memcmp(a, b, n) == 0;
}

// The index of the field whose key is the given bytes, trying the one after the last
// found first (records are written in field order); -1 for none.
Py_ssize_t find_field(const Plan& plan, const char* key, std::uint64_t size, std::size_t guess) {
    const std::size_t count = plan.fields.size();
    std::size_t i = guess < count ? guess : 0;
    for (std::size_t tried = 0; tried < count; ++tried) {
        PyObject* known = plan.fields[i].key.get();
        if (static_cast<std::uint64_t>(PyBytes_GET_SIZE(known)) == size &&
            same_bytes(PyBytes_AS_STRING(known), key, size)) {
            return static_cast<Py_ssize_t>(i);
        }
        i = i + 1 < count ? i + 1 : 0;
    }
    return -1;
}

// Reads a length at data + pos into value and moves pos past it; false where the data
// ends inside it. Most lengths in a record take one byte.
inline bool read_length(const unsigned char* data, std::size_t size, std::size_t& pos, std::uint64_t& value) {
    if (data[pos] < 0x80) {
        value = data[pos++];
        return true;
    }
    pos += _readvarnum(data + pos, size - pos, &value);
    return data[pos - 1] < 0x80;
}

// Whether an unknown key would be read by _deserialize_dict (UTF-8); -1 on failure.
int readable_key(const char* key, std::uint64_t size, Ref& text) {
    text = Ref::steal(PyUnicode_DecodeUTF8(key, static_cast<Py_ssize_t>(size), nullptr));
    if (text) {
        return 1;
    }
    if (PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) {
        PyErr_Clear();
        return 0;
    }
    return -1;
}

// Finds every known field's text (the last pair of a key counts, as in a dict).
// unusual: the record is corrupt or has a key that is not UTF-8, for the model to
// raise about. first_unknown: the first key no field has, where there is one.
Scan scan(const Plan& plan, const unsigned char* data, std::size_t size, Span* spans, Ref& first_unknown) {
    std::size_t pos = 0;
    std::size_t guess = 0;
    while (pos < size) {
        std::uint64_t key_size;
        std::uint64_t value_size;
        if (!read_length(data, size, pos, key_size) || pos >= size || !read_length(data, size, pos, value_size) ||
            key_size > size - pos || value_size > size - pos - key_size) {
            return Scan::unusual;
        }
        const char* key = reinterpret_cast<const char*>(data + pos);
        const char* value = key + key_size;
        pos += key_size + value_size;
        Py_ssize_t index = find_field(plan, key, key_size, guess);
        if (index >= 0) {
            spans[index] = {value, static_cast<Py_ssize_t>(value_size)};
            guess = static_cast<std::size_t>(index) + 1;
            continue;
        }
        Ref text;
        int readable = readable_key(key, key_size, text);
        if (readable <= 0) {
            return readable < 0 ? Scan::failed : Scan::unusual;
        }
        if (!first_unknown) {
            first_unknown = std::move(text);
        }
    }
    return Scan::done;
}

// ---------------------------------------------------------------------------
// Values to the object

// The value of a field the record lacks; empty with an exception set for a required one.
Ref absent_value(const Plan& plan, const FieldPlan& field) {
    switch (field.absent) {
    case absent_required:
        PyErr_Format(PyExc_ValueError, "the record lacks the required field %R of %U", field.name.get(),
                     plan.cls_name.get());
        return Ref();
    case absent_default:
        return Ref::borrow(field.fallback_value.get());
    case absent_factory:
        return Ref::steal(PyObject_CallNoArgs(field.fallback_value.get()));
    default:
        return Ref::borrow(Py_None);
    }
}

// Collects the fields' values and makes the object of the plan's class from them.
class Maker {
public:
    explicit Maker(const Plan& plan) : plan_(plan) {}

    bool start() {
        switch (plan_.make) {
        case make_tuple_class:
            items_ = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(plan_.fields.size())));
            return static_cast<bool>(items_);
        case make_typeddict:
            items_ = Ref::steal(PyDict_New());
            return static_cast<bool>(items_);
        default: {
            auto* cls = reinterpret_cast<PyTypeObject*>(plan_.cls.get());
            Ref no_args = Ref::steal(PyTuple_New(0));
            items_ = no_args ? Ref::steal(PyBaseObject_Type.tp_new(cls, no_args.get(), nullptr)) : Ref();
            return static_cast<bool>(items_);
        }
        }
    }

    // Takes the value of field i; a TypedDict's left-out field passes no value.
    bool set(std::size_t i, Ref value) {
        PyObject* name = plan_.fields[i].name.get();
        switch (plan_.make) {
        case make_tuple_class:
            PyTuple_SET_ITEM(items_.get(), static_cast<Py_ssize_t>(i), value.release());
            return true;
        case make_typeddict:
            return !value || PyDict_SetItem(items_.get(), name, value.get()) == 0;
        default:
            // Past a frozen class's __setattr__, as its generated __init__ does.
            return PyObject_GenericSetAttr(items_.get(), name, value.get()) == 0;
        }
    }

    Ref finish() {
        if (plan_.make == make_tuple_class) {
            Ref args = Ref::steal(PyTuple_Pack(1, items_.get()));
            auto* cls = reinterpret_cast<PyTypeObject*>(plan_.cls.get());
            return args ? Ref::steal(PyTuple_Type.tp_new(cls, args.get(), nullptr)) : Ref();
        }
        if (plan_.post_init.get() != Py_None) {
            PyObject* obj = items_.get();
            Ref done = Ref::steal(PyObject_Vectorcall(plan_.post_init.get(), &obj, 1, nullptr));
            if (!done) {
                return Ref();
            }
        }
        return std::move(items_);
    }

private:
    const Plan& plan_;
    Ref items_;
};

// The value of field i: parsed from its text, or what its absence means.
Ref field_value(const Plan& plan, std::size_t i, Span text) {
    const FieldPlan& field = plan.fields[i];
    if (text.data == nullptr) {
        return field.absent == absent_left_out ? Ref() : absent_value(plan, field);
    }
    Ref value = parse(field, text);
    if (!value) {
        note_field(plan, field);
    }
    return value;
}

Ref make(const Plan& plan, const Span* spans) {
    Maker maker(plan);
    if (!maker.start()) {
        return Ref();
    }
    for (std::size_t i = 0; i < plan.fields.size(); ++i) {
        Ref value = field_value(plan, i, spans[i]);
        if (!value && PyErr_Occurred()) {
            return Ref();
        }
        if (!maker.set(i, std::move(value))) {
            return Ref();
        }
    }
    return maker.finish();
}

// Room for the spans of a plan's fields: on the stack for most classes.
class Spans {
public:
    explicit Spans(std::size_t count) {
        if (count > local_count) {
            heap_.reset(new (std::nothrow) Span[count]);
        }
        data_ = count > local_count ? heap_.get() : local_;
        if (data_ != nullptr) {
            std::fill_n(data_, count, Span{nullptr, 0});
        }
    }
    Span* get() { return data_; }

private:
    static constexpr std::size_t local_count = 32;
    Span local_[local_count];
    std::unique_ptr<Span[]> heap_;
    Span* data_;
};

PyObject* call_fallback(const Plan& plan, PyObject* data) {
    return PyObject_Vectorcall(plan.fallback.get(), &data, 1, nullptr);
}

// Whether object.__new__(cls), which the model calls, makes the object as Maker does.
// It refuses a class whose layout another __new__ fills (an Exception's, say: one made
// here crashed on use) and an abstract class, the latter after reading the fields; a
// class with a __new__ of its own is left to the model too.
bool plain_new(const Plan& plan) {
    if (plan.make != make_dict_class && plan.make != make_slots_class) {
        return true;
    }
    auto* cls = reinterpret_cast<PyTypeObject*>(plan.cls.get());
    return cls->tp_new == PyBaseObject_Type.tp_new && !PyType_HasFeature(cls, Py_TPFLAGS_IS_ABSTRACT);
}

// Plan.load(data): the object of a map record.
PyObject* plan_load(PyObject* self, PyObject* data) {
    const Plan& plan = *reinterpret_cast<PlanObject*>(self)->plan;
    if (!PyBytes_CheckExact(data) || !plain_new(plan)) {
        return call_fallback(plan, data);
    }
    Spans spans(plan.fields.size());
    if (spans.get() == nullptr) {
        return PyErr_NoMemory();
    }
    Ref unknown;
    const auto* bytes = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(data));
    switch (scan(plan, bytes, static_cast<std::size_t>(PyBytes_GET_SIZE(data)), spans.get(), unknown)) {
    case Scan::failed:
        return nullptr;
    case Scan::unusual:
        return call_fallback(plan, data);
    case Scan::done:
        break;
    }
    if (unknown && plan.forbid_unknown) {
        PyErr_Format(PyExc_ValueError, "%U has no field for the record's key %R", plan.cls_name.get(), unknown.get());
        return nullptr;
    }
    return make(plan, spans.get()).release();
}

// Adds "in item INDEX" to the pending exception.
void note_item(Py_ssize_t index) {
    Ref error = Ref::steal(PyErr_GetRaisedException());
    if (!PyErr_GivenExceptionMatches(error.get(), PyExc_MemoryError)) {
        Ref note = Ref::steal(PyUnicode_FromFormat("in item %zd", index));
        if (note) {
            add_note(error.get(), note.get());
        } else {
            PyErr_Clear();
        }
    }
    PyErr_SetRaisedException(error.release());
}

// The number of items of a list record, or -1 where it is corrupt.
Py_ssize_t item_count(const unsigned char* bytes, std::size_t size) {
    Py_ssize_t count = 0;
    for (std::size_t pos = 0; pos < size; ++count) {
        std::uint64_t length;
        if (!read_length(bytes, size, pos, length) || length > size - pos) {
            return -1;
        }
        pos += length;
    }
    return count;
}

// How reading a list record's items ended.
enum class ItemsRead { read, corrupt, failed };

// Reads the items of a list record into items, each parsed as a field of that kind is:
// corrupt where the record is, whatever its items, as the model's reader raises for it
// first; failed with an item's error, its index as a note. A parser that may be the
// user's (kind_other, and an enum's class for a text none of its members has) runs only
// once the whole record is known to be well formed.
template <int Kind>
ItemsRead read_items(const unsigned char* bytes, std::size_t size, PyObject* parser, ListItems& items) {
    if ((Kind == kind_other || Kind == kind_enum) && item_count(bytes, size) < 0) {
        return ItemsRead::corrupt;
    }
    ListItems::Filler fill(items);
    std::size_t pos = 0;
    for (Py_ssize_t index = 0; pos < size; ++index) {
        std::uint64_t length;
        if (!read_length(bytes, size, pos, length) || length > size - pos) {
            return ItemsRead::corrupt;
        }
        if (!fill.make_room(pos, size - pos)) {
            return ItemsRead::failed;
        }
        Ref value = parse_as<Kind>(parser, {reinterpret_cast<const char*>(bytes + pos), static_cast<Py_ssize_t>(length)});
        pos += length;
        if (!value) {
            if (item_count(bytes + pos, size - pos) < 0) {
                PyErr_Clear();
                return ItemsRead::corrupt;
            }
            note_item(index);
            return ItemsRead::failed;
        }
        fill.add(value.release());
    }
    return ItemsRead::read;
}

// The list of a list record's items, each parsed as a field of that kind is.
Ref items_of(PyObject* data, int kind, PyObject* parser, PyObject* fallback) {
    if (!PyBytes_CheckExact(data)) {
        return Ref::steal(PyObject_Vectorcall(fallback, &data, 1, nullptr));
    }
    const auto* bytes = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(data));
    auto size = static_cast<std::size_t>(PyBytes_GET_SIZE(data));
    ListItems items;
    ItemsRead read = with_kind(kind, [&](auto k) { return read_items<decltype(k)::value>(bytes, size, parser, items); });
    if (read == ItemsRead::corrupt) {
        return Ref::steal(PyObject_Vectorcall(fallback, &data, 1, nullptr));
    }
    return read == ItemsRead::read ? items.list() : Ref();
}

// load_items(tp, kind, parse, fallback, data): the tp (list, tuple, set or frozenset) of
// a list record's items, each parsed as a field of that kind is; fallback(data) gives
// the list for a record that is not bytes or is corrupt, raising what _deserialize_list
// raises.
PyObject* load_items(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    int kind = nargs == 5 ? PyLong_AsInt(args[1]) : -1;
    if (kind == -1) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_TypeError, "load_items(tp, kind, parse, fallback, data)");
        }
        return nullptr;
    }
    if (!parser_fits(kind, args[2])) {
        return nullptr;
    }
    Ref items = items_of(args[4], kind, args[2], args[3]);
    if (!items || args[0] == reinterpret_cast<PyObject*>(&PyList_Type)) {
        return items.release();
    }
    PyObject* list = items.get();
    return PyObject_Vectorcall(args[0], &list, 1, nullptr);
}

// A map record's value parsed as a field of that kind is, where that runs no Python code
// that may be the user's: an enum's member only where the text is one of its members'.
template <int Kind>
Ref pair_value(PyObject* parser, Span text) {
    if constexpr (Kind == kind_enum) {
        return Ref::borrow(enum_member(parser, text));
    } else {
        return parse_as<Kind>(parser, text);
    }
}

// The dict of a map record's pairs, each value parsed as a field of that kind is; null
// without an exception where the record is not the plain one this reads (corrupt, a key
// that is no UTF-8) or a value does not parse, which the model then reads and raises
// for: it parses only the last of a key's values, after reading the whole record.
template <int Kind>
Ref read_pairs(const unsigned char* bytes, std::size_t size, PyObject* parser) {
    Ref pairs = Ref::steal(PyDict_New());
    for (std::size_t pos = 0; pairs && pos < size;) {
        std::uint64_t key_size;  // both lengths, then the key and the value
        std::uint64_t value_size;
        if (!read_length(bytes, size, pos, key_size) || pos == size || !read_length(bytes, size, pos, value_size) ||
            key_size > size - pos || value_size > size - pos - key_size) {
            return Ref();
        }
        const auto* text = reinterpret_cast<const char*>(bytes + pos);
        pos += key_size + value_size;
        Ref key = Ref::steal(utf8::decode(text, static_cast<Py_ssize_t>(key_size)));
        Ref value = key ? pair_value<Kind>(parser, {text + key_size, static_cast<Py_ssize_t>(value_size)}) : Ref();
        if (!value) {
            PyErr_Clear();
            return Ref();
        }
        if (PyDict_SetItem(pairs.get(), key.get(), value.get()) < 0) {
            return Ref();
        }
    }
    return pairs;
}

// load_pairs(kind, parse, fallback, data): the dict of a map record (dict[str, T]),
// each value parsed as a field of that kind is; fallback(data), the model, reads any
// record that read_pairs leaves, and values that a Python parser reads.
PyObject* load_pairs(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    int kind = nargs == 4 ? PyLong_AsInt(args[0]) : -1;
    if (kind == -1) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_TypeError, "load_pairs(kind, parse, fallback, data)");
        }
        return nullptr;
    }
    if (!parser_fits(kind, args[1])) {
        return nullptr;
    }
    PyObject* data = args[3];
    if (PyBytes_CheckExact(data) && kind != kind_other) {
        const auto* bytes = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(data));
        auto size = static_cast<std::size_t>(PyBytes_GET_SIZE(data));
        Ref pairs = with_kind(kind, [&](auto k) -> Ref {
            if constexpr (decltype(k)::value == kind_other) {
                return Ref();
            } else {
                return read_pairs<decltype(k)::value>(bytes, size, args[1]);
            }
        });
        if (pairs || PyErr_Occurred()) {
            return pairs.release();
        }
    }
    return PyObject_Vectorcall(args[2], &data, 1, nullptr);
}

// dump_pairs(plain, serialize, fallback, value): serialize(value) where value is an
// exact dict whose keys are exact strs and whose values are all exactly of the type
// plain, which the plain writer writes as they are; else fallback(value), the model.
PyObject* dump_pairs(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 4 || !PyType_Check(args[0])) {
        PyErr_SetString(PyExc_TypeError, "dump_pairs(plain, serialize, fallback, value)");
        return nullptr;
    }
    PyObject* value = args[3];
    bool as_is = PyDict_CheckExact(value);
    if (as_is) {
        CriticalSection lock(value);  // its pairs, read in place
        auto* plain = reinterpret_cast<PyTypeObject*>(args[0]);
        Py_ssize_t pos = 0;
        PyObject* key;
        PyObject* item;
        while (as_is && PyDict_Next(value, &pos, &key, &item)) {
            as_is = PyUnicode_CheckExact(key) && Py_TYPE(item) == plain;
        }
    }
    return PyObject_Vectorcall(args[as_is ? 1 : 2], &value, 1, nullptr);
}

// Whether every item of an exact list or tuple is exactly of the type plain.
bool all_of_type(PyObject* items, PyTypeObject* plain) {
    CriticalSection lock(items);  // a list's items, read in place
    Py_ssize_t size = PySequence_Fast_GET_SIZE(items);
    PyObject** item = PySequence_Fast_ITEMS(items);
    return std::all_of(item, item + size, [plain](PyObject* one) { return Py_TYPE(one) == plain; });
}

// dump_items(tp, plain, serialize, fallback, value): serialize(value) where value is a tp
// (list or tuple; a set or frozenset as a list of its items, in its order) whose items
// are all exactly of the type plain, which the plain writer writes as they are; else
// fallback(value), the general writer. Spares a list of one type a Python loop over
// its items.
PyObject* dump_items(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 5 || !PyType_Check(args[1])) {
        PyErr_SetString(PyExc_TypeError, "dump_items(tp, plain, serialize, fallback, value)");
        return nullptr;
    }
    PyObject* value = args[4];
    bool own_type = reinterpret_cast<PyObject*>(Py_TYPE(value)) == args[0];
    Ref listed = Ref::steal(own_type && PyAnySet_CheckExact(value) ? PySequence_List(value) : Ref().release());
    if (!listed && PyErr_Occurred()) {
        return nullptr;
    }
    PyObject* items = listed ? listed.get() : value;
    bool as_is = own_type && (PyList_CheckExact(items) || PyTuple_CheckExact(items)) &&
                 all_of_type(items, reinterpret_cast<PyTypeObject*>(args[1]));
    return as_is ? PyObject_Vectorcall(args[2], &items, 1, nullptr) : PyObject_Vectorcall(args[3], &value, 1, nullptr);
}

// dump_each(tp, dump, serialize, fallback, value): serialize([dump(item) for item in
// value]) where value is a tp that is an exact list or tuple, an item's error noted with
// its index; else fallback(value), the general writer. Spares a list of records a
// Python loop over its items; a list's size is read at every step, as its iterator does.
PyObject* dump_each(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 5) {
        PyErr_SetString(PyExc_TypeError, "dump_each(tp, dump, serialize, fallback, value)");
        return nullptr;
    }
    PyObject* value = args[4];
    bool is_list = PyList_CheckExact(value);
    if (reinterpret_cast<PyObject*>(Py_TYPE(value)) != args[0] || !(is_list || PyTuple_CheckExact(value))) {
        return PyObject_Vectorcall(args[3], &value, 1, nullptr);
    }
    Ref written = Ref::steal(PyList_New(0));
    for (Py_ssize_t i = 0; written && i < (is_list ? PyList_GET_SIZE(value) : PyTuple_GET_SIZE(value)); ++i) {
        Ref item = is_list ? Ref::steal(PyList_GetItemRef(value, i)) : Ref::borrow(PyTuple_GET_ITEM(value, i));
        PyObject* arg = item.get();
        Ref dumped = item ? Ref::steal(PyObject_Vectorcall(args[1], &arg, 1, nullptr)) : Ref();
        if (!dumped) {
            note_item(i);
            return nullptr;
        }
        if (PyList_Append(written.get(), dumped.get()) < 0) {
            return nullptr;
        }
    }
    PyObject* list = written.get();
    return list ? PyObject_Vectorcall(args[2], &list, 1, nullptr) : nullptr;
}

PyMethodDef module_methods[] = {
    {"dump_items", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(dump_items)), METH_FASTCALL,
     "The list record of a list, tuple or set, by the plain writer where every item is of the plain type."},
    {"load_items", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(load_items)), METH_FASTCALL,
     "The parsed items of a list record."},
    {"dump_each", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(dump_each)), METH_FASTCALL,
     "The list record of a list or tuple of values that its items' writer writes each."},
    {"dump_pairs", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(dump_pairs)), METH_FASTCALL,
     "The map record of a dict, by the plain writer where every key is a str and every value of the plain type."},
    {"load_pairs", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(load_pairs)), METH_FASTCALL,
     "The parsed pairs of a map record."},
    {nullptr, nullptr, 0, nullptr},
};

// ---------------------------------------------------------------------------
// Objects to records

// Room for one pair whose value takes value_size bytes, its lengths and key written:
// where the value goes; null with MemoryError.
unsigned char* start_pair(OutputBuffer& out, PyObject* key, std::size_t value_size) {
    auto key_size = static_cast<std::size_t>(PyBytes_GET_SIZE(key));
    unsigned char* at = out.room(static_cast<Py_ssize_t>(20 + key_size + value_size));
    if (at == nullptr) {
        return nullptr;
    }
    at = put_varnum(put_varnum(at, key_size), value_size);
    copy_short(at, PyBytes_AS_STRING(key), key_size);
    return at + key_size;
}

// Writes one pair into the record; false with MemoryError.
bool put_pair(OutputBuffer& out, PyObject* key, const char* value, std::size_t value_size) {
    unsigned char* at = start_pair(out, key, value_size);
    if (at == nullptr) {
        return false;
    }
    copy_short(at, value, value_size);
    out.commit(at + value_size);
    return true;
}

bool put_bytes(OutputBuffer& out, PyObject* key, PyObject* value) {
    return put_pair(out, key, PyBytes_AS_STRING(value), static_cast<std::size_t>(PyBytes_GET_SIZE(value)));
}

// Writes the pair of an exact non-ASCII str, transcoded into the record as the record
// writers do: asked for its UTF-8, CPython would keep a copy inside the caller's str for
// as long as it lives. One with a surrogate gets the encoder's own error.
[[gnu::noinline]] bool put_non_ascii(OutputBuffer& out, PyObject* key, PyObject* text) {
    Py_ssize_t size;
    if (const char* cached = utf8::cached(text, size)) {
        return put_pair(out, key, cached, static_cast<std::size_t>(size));
    }
    if (!utf8::encodable(text)) {
        Ref encoded = Ref::steal(PyUnicode_AsUTF8String(text));  // the encoder's error
        return encoded && put_bytes(out, key, encoded.get());
    }
    unsigned char* at = start_pair(out, key, static_cast<std::size_t>(utf8::encoded_size(text)));
    if (at == nullptr) {
        return false;
    }
    out.commit(utf8::encode_into(text, at));
    return true;
}

// Writes the pair of an exact str.
bool put_text(OutputBuffer& out, PyObject* key, PyObject* text) {
    if (!PyUnicode_IS_ASCII(text)) {
        return put_non_ascii(out, key, text);
    }
    return put_pair(out, key, static_cast<const char*>(PyUnicode_DATA(text)),
                    static_cast<std::size_t>(PyUnicode_GET_LENGTH(text)));
}

bool put_plain(OutputBuffer& out, PyObject* key, PyObject* value);

// Writes the pair of an exact int, float or bool, by the writer of its text (IntText,
// FloatText, BoolText): the text goes straight into the record after the key, its length
// written after it in the one byte that every number's text takes. An int of 2**256 or
// more is written as its str().
template <class WriteText>
bool put_number(OutputBuffer& out, PyObject* key, PyObject* value, WriteText write_text) {
    static_assert(max_number_text < 0x80, "a number's length takes one byte");
    auto key_size = static_cast<std::size_t>(PyBytes_GET_SIZE(key));
    unsigned char* at = out.room(static_cast<Py_ssize_t>(11 + key_size + max_number_text));
    if (at == nullptr) {
        return false;
    }
    at = put_varnum(at, key_size);
    unsigned char* length = at++;
    copy_short(at, PyBytes_AS_STRING(key), key_size);
    at += key_size;
    Py_ssize_t size = write_text(value, reinterpret_cast<char*>(at));
    if (size < 0) {
        Ref text = Ref::steal(PyObject_Str(value));
        return text && put_plain(out, key, text.get());
    }
    *length = static_cast<unsigned char>(size);
    out.commit(at + size);
    return true;
}

// Writes the pair of what a field's Python writer gave, which the plain writers take
// as it is (str, bytes, int, float), as they write it. False with an exception set for
// any other value.
bool put_plain(OutputBuffer& out, PyObject* key, PyObject* value) {
    if (PyUnicode_CheckExact(value)) {
        return put_text(out, key, value);
    }
    if (PyBytes_CheckExact(value)) {
        return put_bytes(out, key, value);
    }
    if (PyLong_CheckExact(value)) {
        return put_number(out, key, value, IntText{});
    }
    if (PyFloat_CheckExact(value)) {
        return put_number(out, key, value, FloatText{});
    }
    PyErr_Format(PyExc_TypeError, "a field's writer returned %.200s, not str, bytes, int or float",
                 Py_TYPE(value)->tp_name);
    return false;
}

int written(bool done) { return done ? 1 : -1; }

// Writes the pair of a value of exactly the field's own type, which the plain writers
// write as it is: 1 when written, -1 with an exception set, 0 for a value of any other
// type, which goes through the field's Python writer (to be refused, or converted: an
// int in a float field, a nested record, a Decimal's text).
int put_own_type(const FieldPlan& field, PyObject* value, OutputBuffer& out) {
    PyObject* key = field.key.get();
    switch (field.kind) {
    case kind_str:
        return PyUnicode_CheckExact(value) ? written(put_text(out, key, value)) : 0;
    case kind_bytes:
        return PyBytes_CheckExact(value) ? written(put_bytes(out, key, value)) : 0;
    case kind_int:
        return PyLong_CheckExact(value) ? written(put_number(out, key, value, IntText{})) : 0;
    case kind_float:
        return PyFloat_CheckExact(value) ? written(put_number(out, key, value, FloatText{})) : 0;
    case kind_bool:
        return PyBool_Check(value) ? written(put_number(out, key, value, BoolText{})) : 0;
    case kind_enum: {
        PyObject* text = member_text(field.parse.get(), value);
        return text ? written(put_bytes(out, key, text)) : 0;
    }
    case kind_text: {
        char text[most_native_text];
        std::size_t size = native_text(field.parse.get(), value, text);
        return size != 0 ? written(put_pair(out, key, text, size)) : 0;
    }
    default:
        return 0;
    }
}

// Writes one field's pair; false with an exception set, noted with the field, where the
// field's Python writer failed. An error of writing what the plain writers take (a
// surrogate, an int too long for str()) is kept in failed, the first one only: the
// model meets it writing the whole record, after every field's writer ran, and adds no
// note.
bool write_field(const Plan& plan, const FieldPlan& field, PyObject* value, OutputBuffer& out, Ref& failed) {
    int own = put_own_type(field, value, out);
    if (own == 0) {
        Ref given = field.kind == kind_text ? own_text(field.parse.get(), value) : Ref();
        if (!given && !PyErr_Occurred()) {
            given = Ref::steal(PyObject_Vectorcall(field.dump.get(), &value, 1, nullptr));
        }
        if (!given) {
            note_field(plan, field);
            return false;
        }
        own = written(put_plain(out, field.key.get(), given.get()));
    }
    if (own < 0) {
        Ref error = Ref::steal(PyErr_GetRaisedException());
        if (!failed) {
            failed = std::move(error);
        }
    }
    return true;
}

// The value of field i of obj, read once; empty without an exception for a TypedDict's
// absent key.
[[gnu::always_inline]] inline Ref field_of(const Plan& plan, PyObject* obj, std::size_t i) {
    const FieldPlan& field = plan.fields[i];
    switch (plan.make) {
    case make_tuple_class: {
        if (static_cast<std::size_t>(PyTuple_GET_SIZE(obj)) > i &&
            Py_TYPE(obj)->tp_as_mapping->mp_subscript == PyTuple_Type.tp_as_mapping->mp_subscript) {
            return Ref::borrow(PyTuple_GET_ITEM(obj, static_cast<Py_ssize_t>(i)));
        }
        // The model's value[i]: the class's own __getitem__, or the IndexError of a tuple
        // made shorter than its fields by tuple.__new__.
        Ref index = Ref::steal(PyLong_FromSize_t(i));
        return index ? Ref::steal(PyObject_GetItem(obj, index.get())) : Ref();
    }
    case make_typeddict: {
        PyObject* value;
        return PyDict_GetItemRef(obj, field.name.get(), &value) < 0 ? Ref() : Ref::steal(value);
    }
    default:
        return Ref::steal(PyObject_GetAttr(obj, field.name.get()));
    }
}

// The index of the field named key (an exact str), trying the one after the last found
// first (dicts are mostly made in field order), by identity and then by equality; -1
// for none. Comparing exact strs runs no Python code.
Py_ssize_t field_named(const Plan& plan, PyObject* key, std::size_t guess) {
    const auto& fields = plan.fields;
    if (guess < fields.size() && fields[guess].name.get() == key) {
        return static_cast<Py_ssize_t>(guess);
    }
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (fields[i].name.get() == key) {
            return static_cast<Py_ssize_t>(i);
        }
    }
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (PyUnicode_Compare(key, fields[i].name.get()) == 0) {
            return static_cast<Py_ssize_t>(i);
        }
    }
    return -1;
}

// The values of a TypedDict's fields, each taken once; on the stack for most classes.
class DictValues {
public:
    explicit DictValues(std::size_t count) : heap_(count > local_count ? new Ref[count] : nullptr) {}
    Ref* get() { return heap_ ? heap_.get() : local_; }

private:
    static constexpr std::size_t local_count = 16;
    Ref local_[local_count];
    std::unique_ptr<Ref[]> heap_;
};

enum class Keys { all_str, not_all_str };

// Takes the value of every field of a TypedDict in one pass over its items, and its
// first key that names no field; not_all_str (nothing taken that counts) where a key is
// not an exact str, whose comparison may run Python code.
Keys take_fields(const Plan& plan, PyObject* dict, Ref* values, Ref& unknown) {
    CriticalSection lock(dict);
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* value;
    std::size_t guess = 0;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) {
            return Keys::not_all_str;
        }
        Py_ssize_t i = field_named(plan, key, guess);
        if (i < 0) {
            if (!unknown) {
                unknown = Ref::borrow(key);
            }
            continue;
        }
        values[i] = Ref::borrow(value);
        guess = static_cast<std::size_t>(i) + 1;
    }
    return Keys::all_str;
}

// Takes the value of every field of a TypedDict, each looked up in turn (a field it
// lacks left empty); false with an exception set.
bool look_up_fields(const Plan& plan, PyObject* dict, Ref* values) {
    for (std::size_t i = 0; i < plan.fields.size(); ++i) {
        values[i] = field_of(plan, dict, i);
        if (!values[i] && PyErr_Occurred()) {
            return false;
        }
    }
    return true;
}

// Checks a TypedDict's keys as the Python model's _check_keys does: every required key
// present, then no key the class lacks; a TypeError where not.
bool keys_fit(const Plan& plan, const Ref* values, const Ref& unknown) {
    for (std::size_t i = 0; i < plan.fields.size(); ++i) {
        if (plan.fields[i].absent == absent_required && !values[i]) {
            PyErr_Format(PyExc_TypeError, "%U lacks its required key %R", plan.cls_name.get(),
                         plan.fields[i].name.get());
            return false;
        }
    }
    if (unknown) {
        PyErr_Format(PyExc_TypeError, "%U has no key %R", plan.cls_name.get(), unknown.get());
        return false;
    }
    return true;
}

// Writes the fields of obj whose values are given (a TypedDict's, all taken before any
// is written), or read here as each is written. A value that cannot be read raises as
// in the model, where reading it is no field writer's part: without a note.
bool write_fields(const Plan& plan, PyObject* obj, Ref* given, OutputBuffer& out) {
    Ref failed;
    for (std::size_t i = 0; i < plan.fields.size(); ++i) {
        const FieldPlan& field = plan.fields[i];
        Ref value = given != nullptr ? std::move(given[i]) : field_of(plan, obj, i);
        if (!value) {
            if (PyErr_Occurred()) {
                return false;
            }
            continue;
        }
        if (value.get() == Py_None && field.optional) {
            continue;
        }
        if (!write_field(plan, field, value.get(), out, failed)) {
            return false;
        }
    }
    if (failed) {
        PyErr_SetRaisedException(failed.release());
        return false;
    }
    return true;
}

// The record of obj, its type and keys checked; null with an exception set.
PyObject* write_record(const Plan& plan, PyObject* obj, OutputBuffer& out) {
    if (reinterpret_cast<PyObject*>(Py_TYPE(obj)) != plan.written_type.get()) {
        Ref got = Ref::steal(PyType_GetName(Py_TYPE(obj)));
        return got ? PyErr_Format(PyExc_TypeError, "expected %U, got %U", plan.cls_name.get(), got.get()) : nullptr;
    }
    if (plan.make != make_typeddict) {
        return write_fields(plan, obj, nullptr, out) ? out.finish() : nullptr;
    }
    DictValues values(plan.fields.size());
    Ref unknown;
    if (take_fields(plan, obj, values.get(), unknown) == Keys::not_all_str) {
        // A key that is not an exact str may run Python code when compared: the model
        // checks the keys, and each field is looked up, as there.
        Ref checked = Ref::steal(PyObject_Vectorcall(plan.check_keys.get(), &obj, 1, nullptr));
        bool written = checked && look_up_fields(plan, obj, values.get()) && write_fields(plan, obj, values.get(), out);
        return written ? out.finish() : nullptr;
    }
    bool written = keys_fit(plan, values.get(), unknown) && write_fields(plan, obj, values.get(), out);
    return written ? out.finish() : nullptr;
}

// Plan.dump(obj): the map record of an object of the plan's class.
PyObject* plan_dump(PyObject* self, PyObject* obj) {
    try {
        OutputBuffer out;
        return write_record(*reinterpret_cast<PlanObject*>(self)->plan, obj, out);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

// ---------------------------------------------------------------------------
// The Plan type

// Plan(cls, make, names, keys, kinds, parsers, absents, defaults, post_init,
//      forbid_unknown, fallback, dumpers, optionals, written_type, check_keys): the
//      tuples have one item per field.
bool fill_fields(Plan& plan, PyObject* const* tuples) {
    Py_ssize_t count = PyTuple_GET_SIZE(tuples[0]);
    for (int t = 1; t < 8; ++t) {
        if (PyTuple_GET_SIZE(tuples[t]) != count) {
            PyErr_SetString(PyExc_ValueError, "Plan: the field tuples differ in length");
            return false;
        }
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* name = PyTuple_GET_ITEM(tuples[0], i);
        PyObject* key = PyTuple_GET_ITEM(tuples[1], i);
        int kind = PyLong_AsInt(PyTuple_GET_ITEM(tuples[2], i));
        int absent = PyLong_AsInt(PyTuple_GET_ITEM(tuples[4], i));
        if (PyErr_Occurred()) {
            return false;
        }
        if (!PyUnicode_Check(name) || !PyBytes_CheckExact(key)) {
            PyErr_SetString(PyExc_TypeError, "Plan: a field's name is str and its key bytes");
            return false;
        }
        if (!parser_fits(kind, PyTuple_GET_ITEM(tuples[3], i))) {
            return false;
        }
        int optional = PyObject_IsTrue(PyTuple_GET_ITEM(tuples[7], i));
        if (optional < 0) {
            return false;
        }
        plan.fields.push_back({Ref::borrow(name), Ref::borrow(key), Ref::borrow(PyTuple_GET_ITEM(tuples[3], i)),
                               Ref::borrow(PyTuple_GET_ITEM(tuples[5], i)), kind, absent,
                               Ref::borrow(PyTuple_GET_ITEM(tuples[6], i)), optional != 0});
    }
    return true;
}

// Whether the way of making and writing fits the classes: a tuple class's objects are
// read and made as tuples, a TypedDict's as dicts.
bool fits(int make, PyObject* cls, PyObject* written_type) {
    auto* written = reinterpret_cast<PyTypeObject*>(written_type);
    switch (make) {
    case make_dict_class:
    case make_slots_class:
        return true;
    case make_tuple_class:
        return PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(cls), &PyTuple_Type) &&
               PyType_IsSubtype(written, &PyTuple_Type);
    case make_typeddict:
        return PyType_IsSubtype(written, &PyDict_Type);
    default:
        return false;
    }
}

bool fill_plan(Plan& plan, PyObject* args) {
    PyObject* cls;
    int make;
    PyObject* tuples[8];
    PyObject* post_init;
    int forbid_unknown;
    PyObject* fallback;
    PyObject* written_type;
    PyObject* check_keys;
    if (!PyArg_ParseTuple(args, "O!iO!O!O!O!O!O!OpOO!O!O!O:Plan", &PyType_Type, &cls, &make, &PyTuple_Type,
                          &tuples[0], &PyTuple_Type, &tuples[1], &PyTuple_Type, &tuples[2], &PyTuple_Type,
                          &tuples[3], &PyTuple_Type, &tuples[4], &PyTuple_Type, &tuples[5], &post_init,
                          &forbid_unknown, &fallback, &PyTuple_Type, &tuples[6], &PyTuple_Type, &tuples[7], &PyType_Type,
                          &written_type, &check_keys)) {
        return false;
    }
    if (!fits(make, cls, written_type)) {
        PyErr_SetString(PyExc_ValueError, "Plan: the classes do not fit the way of making objects");
        return false;
    }
    plan.cls = Ref::borrow(cls);
    plan.cls_name = Ref::steal(PyType_GetName(reinterpret_cast<PyTypeObject*>(cls)));
    plan.post_init = Ref::borrow(post_init);
    plan.fallback = Ref::borrow(fallback);
    plan.written_type = Ref::borrow(written_type);
    plan.check_keys = Ref::borrow(check_keys);
    plan.make = make;
    plan.forbid_unknown = forbid_unknown != 0;
    return plan.cls_name && fill_fields(plan, tuples);
}

PyObject* plan_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0) {
        PyErr_SetString(PyExc_TypeError, "Plan() takes no keyword arguments");
        return nullptr;
    }
    std::unique_ptr<Plan> plan(new (std::nothrow) Plan());
    if (!plan) {
        return PyErr_NoMemory();
    }
    try {
        if (!fill_plan(*plan, args)) {
            return nullptr;
        }
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) {
        return nullptr;
    }
    reinterpret_cast<PlanObject*>(self.get())->plan = plan.release();
    return self.release();
}

// A plan is in a cycle with its codec (check_keys is a method of it): the collector
// must see what it holds. It has no tp_clear: a plan stays whole while it may run,
// and clearing the codec's __dict__ breaks the cycle.
int plan_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    const Plan* plan = reinterpret_cast<PlanObject*>(self)->plan;
    if (plan == nullptr) {
        return 0;
    }
    for (const Ref* held : {&plan->cls, &plan->cls_name, &plan->post_init, &plan->fallback, &plan->written_type,
                            &plan->check_keys}) {
        Py_VISIT(held->get());
    }
    for (const FieldPlan& field : plan->fields) {
        for (const Ref* held : {&field.name, &field.key, &field.parse, &field.fallback_value, &field.dump}) {
            Py_VISIT(held->get());
        }
    }
    return 0;
}

void plan_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    delete reinterpret_cast<PlanObject*>(self)->plan;
    type->tp_free(self);
    Py_DECREF(type);
}

PyMethodDef plan_methods[] = {
    {"load", plan_load, METH_O, "The object of a map record, by the plan."},
    {"dump", plan_dump, METH_O, "The map record of an object of the plan's class."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot plan_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(plan_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(plan_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(plan_traverse)},
    {Py_tp_methods, plan_methods},
    {Py_tp_doc, const_cast<char*>("The compiled reader of one record class; made by zav.typed.")},
    {0, nullptr},
};

PyType_Spec plan_spec = {
    "zav._typed.Plan", sizeof(PlanObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_HAVE_GC,
    plan_slots,
};

int module_exec(PyObject* module) {
    Ref type = Ref::steal(PyType_FromModuleAndSpec(module, &plan_spec, nullptr));
    return type ? PyModule_AddObjectRef(module, "Plan", type.get()) : -1;
}

// A plan never changes once made, so the module runs without the GIL.
PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_typed", nullptr, 0, module_methods, slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace zav::typed

PyMODINIT_FUNC PyInit__typed() { return PyModuleDef_Init(&zav::typed::module_def); }
