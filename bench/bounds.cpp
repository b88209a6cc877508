// Loaders of a dict of str pairs, of a list of strs and of one record of a list of
// records for bounds.py, each doing only part of what a reader must do, so that their
// times bound any reader's from below.
//
// Their data comes prepared by bounds.py: for every text (key, value, key, ... or item
// after item, or a record's values) its UTF-8, its characters already at the width of
// its str, and its length and width; and the bytes and characters of each run, which a
// reader would sum as it counts.
//   floor(data)       makes each str from its prepared characters, and the dict;
//   transcoded(data)  makes them from the UTF-8 instead: gathered into one run per str
//                     width, each run validated and transcoded by simdutf at once;
//   list_floor(data)  makes each str as floor does, and a presized list of them;
//   shared_list_floor(data)
//                     the same, a short text that came before in the list given the
//                     str made for it (a table of 256 slots), as marshal shares strs;
//   record_floor((keys, data))
//                     makes each value's str as floor does and puts it in a presized
//                     dict under its key, a str made in advance and shared by the
//                     records (as a reader may keep the keys of earlier records).
// None parses a record, nor counts characters, nor finds a width: a reader must.
//
// And writers of a list or dict of numbers, bools and short ASCII strs, each writing
// every item's text after a one-byte length into a bytes object made large enough for
// all at once: no check of room, no record head, no item that needs more.
//   digits_floor(data)  makes the numbers' texts with our own routines (numbers.h);
//   std_floor(data)     reads the numbers by CPython's API and makes their texts with
//                       std::to_chars (shortest round trip for a double).
//   fastest_floor(data) makes the ints' texts as digits_floor does, and the floats'
//                       by Dragonbox's own layout of their shortest digits.
// Only digits_floor writes what str() gives for every float.
//   text_floor(data)    writes a list of warm strs, each holding its UTF-8: sums their
//                       sizes, then copies each str's UTF-8 after its length.
#include "numbers.h"     // zav::number_text
#include "serializer.h"  // zav::Ref, zav::MemArray

#include <dragonbox/dragonbox_to_chars.h>
#include <fast_float/fast_float.h>

#include <simdutf.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <type_traits>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace {

using zav::MemArray;
using zav::Ref;

// The run a text's UTF-8 goes to: Latin-1 (ASCII too), UCS-2, UCS-4.
int run_of(std::uint64_t width) { return width <= 0xFF ? 0 : width == 0xFFFF ? 1 : 2; }

using RunSizes = std::array<std::uint64_t, 3>;

// The start of the prepared data, as bounds.py packs it.
struct Head {
    std::uint64_t count;   // of texts
    RunSizes run_bytes;    // the UTF-8 of the texts of each run
    RunSizes run_chars;    // their characters
};

// One text of the prepared data.
struct Entry {
    std::uint64_t utf8_at;   // where its UTF-8 starts in the text area
    std::uint64_t utf8_size;
    std::uint64_t chars_at;  // where its characters at their width start
    std::uint64_t chars;
    std::uint64_t width;     // 0x7F, 0xFF, 0xFFFF or 0x10FFFF, as PyUnicode_New takes it
};

// The prepared data: its head, an entry per text, then the text area. It is checked
// once by check(); the timed functions take it as it is.
class Prepared {
public:
    explicit Prepared(PyObject* data)
        : start_(reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(data))),
          size_(static_cast<std::size_t>(PyBytes_GET_SIZE(data))) {
        if (size_ >= sizeof head_) {
            std::memcpy(&head_, start_, sizeof head_);
        }
    }

    const Head& head() const { return head_; }
    std::uint64_t count() const { return head_.count; }
    Entry entry(std::uint64_t i) const {
        Entry e;
        std::memcpy(&e, start_ + sizeof head_ + i * sizeof e, sizeof e);
        return e;
    }
    const char* area() const {
        return reinterpret_cast<const char*>(start_ + sizeof head_ + head_.count * sizeof(Entry));
    }
    std::size_t area_size() const { return size_ - sizeof head_ - head_.count * sizeof(Entry); }

    bool well_formed() const {
        if (size_ < sizeof head_ || head_.count > (size_ - sizeof head_) / sizeof(Entry)) {
            return false;
        }
        std::size_t area_size = size_ - sizeof head_ - head_.count * sizeof(Entry);
        RunSizes bytes{};
        RunSizes chars{};
        for (std::uint64_t i = 0; i < head_.count; ++i) {
            Entry e = entry(i);
            bool known_width = e.width == 0x7F || e.width == 0xFF || e.width == 0xFFFF || e.width == 0x10FFFF;
            if (!known_width || e.utf8_at > area_size || e.utf8_size > area_size - e.utf8_at ||
                e.chars_at > area_size || e.chars > (area_size - e.chars_at) / unit_of(e.width)) {
                return false;
            }
            bytes[run_of(e.width)] += e.utf8_size;
            chars[run_of(e.width)] += e.chars;
        }
        // The runs are made as large as the head says.
        return bytes == head_.run_bytes && chars == head_.run_chars;
    }

    static std::size_t unit_of(std::uint64_t width) { return width <= 0xFF ? 1 : width == 0xFFFF ? 2 : 4; }

private:
    const unsigned char* start_;
    std::size_t size_;
    Head head_{};
};

Ref text_of(std::uint64_t width, std::uint64_t chars, const void* characters) {
    // CPython shares the str of one Latin-1 character, as any reader may.
    if (chars == 1 && width <= 0xFF) {
        return Ref::steal(PyUnicode_FromOrdinal(*static_cast<const unsigned char*>(characters)));
    }
    Ref text = Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(chars), static_cast<Py_UCS4>(width)));
    if (text) {
        std::memcpy(PyUnicode_DATA(text.get()), characters, chars * Prepared::unit_of(width));
    }
    return text;
}

// The dict of the texts in pairs, each made by make_text(i); an odd last text is left out.
template <class MakeText>
PyObject* dict_of(const Prepared& data, MakeText make_text) {
    Ref dict = Ref::steal(_PyDict_NewPresized(static_cast<Py_ssize_t>(data.count() / 2)));
    for (std::uint64_t i = 0; dict && i + 1 < data.count(); i += 2) {
        Ref key = make_text(i);
        Ref value = key ? make_text(i + 1) : Ref();
        if (!value || PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) {
            return nullptr;
        }
    }
    return dict.release();
}

bool is_bytes(PyObject* arg) {
    if (PyBytes_CheckExact(arg)) {
        return true;
    }
    PyErr_SetString(PyExc_TypeError, "prepared data must be bytes");
    return false;
}

PyObject* load_floor(PyObject*, PyObject* arg) {
    if (!is_bytes(arg)) {
        return nullptr;
    }
    Prepared data(arg);
    return dict_of(data, [&](std::uint64_t i) {
        Entry e = data.entry(i);
        return text_of(e.width, e.chars, data.area() + e.chars_at);
    });
}

// The list of the texts, made at its size at once, as our reader makes it.
PyObject* load_list_floor(PyObject*, PyObject* arg) {
    if (!is_bytes(arg)) {
        return nullptr;
    }
    Prepared data(arg);
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(data.count())));
    for (std::uint64_t i = 0; list && i < data.count(); ++i) {
        Entry e = data.entry(i);
        Ref text = text_of(e.width, e.chars, data.area() + e.chars_at);
        if (!text) {
            return nullptr;
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), text.release());
    }
    return list.release();
}

// The strs of short Latin-1 texts that came before in one list, by their characters:
// a direct-mapped table of 256 slots, each the key of a text (its length and up to 15
// characters, in two words) and a borrowed reference to the str made for it, which the
// list keeps alive. A text that comes again gets that str; no trial, no decision.
class SharedTexts {
public:
    Ref text(const Prepared& data, const Entry& e) {
        const char* chars = data.area() + e.chars_at;
        if (e.width > 0xFF || e.chars > 15 || e.chars_at + 16 > data.area_size()) {
            return text_of(e.width, e.chars, chars);
        }
        std::uint64_t words[2];
        std::memcpy(words, chars, 16);
        std::uint64_t low = e.chars >= 8 ? words[0] : words[0] & ((std::uint64_t{1} << (8 * e.chars)) - 1);
        std::uint64_t high = e.chars > 8 ? words[1] & (~std::uint64_t{0} >> (8 * (16 - e.chars))) : 0;
        high |= e.chars << 56;  // the length, in the byte the characters leave free
        Slot& slot = slots_[((low ^ (high * 0xC2B2AE3D27D4EB4FULL)) * 0x9E3779B97F4A7C15ULL) >> 56];
        if (slot.text != nullptr && slot.low == low && slot.high == high) {
            return Ref::borrow(slot.text);
        }
        Ref text = text_of(e.width, e.chars, chars);
        slot = {low, high, text.get()};
        return text;
    }

private:
    struct Slot {
        std::uint64_t low;
        std::uint64_t high;
        PyObject* text;
    };
    Slot slots_[256]{};
};

// load_list_floor, each short text that came before in the list given the str made for
// it (SharedTexts), as marshal and pickle share a repeated str.
PyObject* load_shared_list_floor(PyObject*, PyObject* arg) {
    if (!is_bytes(arg)) {
        return nullptr;
    }
    Prepared data(arg);
    SharedTexts shared;
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(data.count())));
    for (std::uint64_t i = 0; list && i < data.count(); ++i) {
        Ref text = shared.text(data, data.entry(i));
        if (!text) {
            return nullptr;
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), text.release());
    }
    return list.release();
}

// The list of the numbers of a C array (bytes of int64 or double), made at its size at
// once: the ints or floats any reader of a list of numbers makes, with no text read.
template <class Number>
PyObject* number_list_floor(PyObject*, PyObject* arg) {
    if (!PyBytes_CheckExact(arg) || PyBytes_GET_SIZE(arg) % sizeof(Number) != 0) {
        PyErr_SetString(PyExc_TypeError, "the number floors take bytes of 8-byte numbers");
        return nullptr;
    }
    Py_ssize_t count = PyBytes_GET_SIZE(arg) / static_cast<Py_ssize_t>(sizeof(Number));
    Ref list = Ref::steal(PyList_New(count));
    const char* numbers = PyBytes_AS_STRING(arg);
    for (Py_ssize_t i = 0; list && i < count; ++i) {
        Number value;
        std::memcpy(&value, numbers + i * static_cast<Py_ssize_t>(sizeof(Number)), sizeof value);
        PyObject* item;
        if constexpr (std::is_same_v<Number, double>) {
            item = PyFloat_FromDouble(value);
        } else {
            item = PyLong_FromLongLong(value);
        }
        if (item == nullptr) {
            return nullptr;
        }
        PyList_SET_ITEM(list.get(), i, item);
    }
    return list.release();
}

// The list of the numbers of a list record of their decimal texts, each length in one
// byte, made at its size (count) at once: what any reader of such a record must do,
// each text parsed by the fastest code known for it.
template <class Parse>
PyObject* number_text_floor(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 2 || !PyBytes_CheckExact(args[0]) || !PyLong_Check(args[1])) {
        PyErr_SetString(PyExc_TypeError, "the number text floors take (record: bytes, count: int)");
        return nullptr;
    }
    Py_ssize_t count = PyLong_AsSsize_t(args[1]);
    const char* record = PyBytes_AS_STRING(args[0]);
    Py_ssize_t size = PyBytes_GET_SIZE(args[0]);
    Ref list = Ref::steal(count < 0 ? nullptr : PyList_New(count));
    Py_ssize_t pos = 0;
    for (Py_ssize_t i = 0; list && i < count; ++i) {
        auto length = static_cast<unsigned char>(record[pos]);
        if (length >= 0x80 || length > size - pos - 1) {
            PyErr_SetString(PyExc_ValueError, "the number text floors take lengths of one byte");
            return nullptr;
        }
        PyObject* item = Parse{}(record + pos + 1, length);
        if (item == nullptr) {
            return nullptr;
        }
        PyList_SET_ITEM(list.get(), i, item);
        pos += 1 + length;
    }
    return list.release();
}

#if defined(__x86_64__)
// The value of count (1 to 16) ASCII digits ending at end, sixteen at once: the lanes
// before the number masked to zero, then pairs, fours and eights summed by the
// multiply-adds of SSSE3 (the known fastest way for such lengths); false where a byte is
// no digit. Reads the 16 bytes before end, which lie in the record's bytes object.
[[gnu::target("ssse3")]] bool sixteen_digits(const char* end, int count, std::uint64_t& value) {
    __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(end - 16));
    __m128i lanes = _mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    __m128i used = _mm_cmpgt_epi8(lanes, _mm_set1_epi8(static_cast<char>(15 - count)));
    __m128i digits = _mm_and_si128(_mm_sub_epi8(chunk, _mm_set1_epi8('0')), used);
    __m128i nine = _mm_set1_epi8(9);
    if (_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_max_epu8(digits, nine), nine)) != 0xFFFF) {
        return false;
    }
    __m128i pairs = _mm_maddubs_epi16(digits, _mm_setr_epi8(10, 1, 10, 1, 10, 1, 10, 1, 10, 1, 10, 1, 10, 1, 10, 1));
    __m128i fours = _mm_madd_epi16(pairs, _mm_setr_epi16(100, 1, 100, 1, 100, 1, 100, 1));
    __m128i eights = _mm_madd_epi16(_mm_packs_epi32(fours, fours), _mm_setr_epi16(10000, 1, 10000, 1, 10000, 1, 10000, 1));
    auto both = static_cast<std::uint64_t>(_mm_cvtsi128_si64(eights));
    value = (both & 0xFFFFFFFFU) * 100000000 + (both >> 32);
    return true;
}

// An int64's text: the digits beyond the last sixteen one at a time, those sixteen at once.
struct SimdInt {
    [[gnu::target("ssse3")]] PyObject* operator()(const char* text, Py_ssize_t size) const {
        bool negative = size > 0 && text[0] == '-';
        const char* p = text + negative;
        auto count = static_cast<int>(size - negative);
        std::uint64_t low = 0;
        std::uint64_t high = 0;
        bool digits = count >= 1 && count <= 19 && sixteen_digits(text + size, std::min(count, 16), low);
        for (int i = 0; digits && i < count - 16; ++i) {
            auto digit = static_cast<unsigned>(p[i] - '0');
            digits = digit <= 9;
            high = high * 10 + digit;
        }
        std::uint64_t value = high * 10000000000000000ULL + low;
        if (!digits || value > static_cast<std::uint64_t>(INT64_MAX)) {
            PyErr_SetString(PyExc_ValueError, "int_text_floor takes the texts of int64s");
            return nullptr;
        }
        auto magnitude = static_cast<long long>(value);
        return PyLong_FromLongLong(negative ? -magnitude : magnitude);
    }
};
#endif

// A float's text by fast_float, the fastest reader of decimal floats known.
struct FastFloat {
    PyObject* operator()(const char* text, Py_ssize_t size) const {
        double value;
        auto result = fast_float::from_chars(text, text + size, value);
        if (result.ec != std::errc() || result.ptr != text + size) {
            PyErr_SetString(PyExc_ValueError, "float_text_floor takes decimal texts of floats");
            return nullptr;
        }
        return PyFloat_FromDouble(value);
    }
};

// A record's argument as bounds.py packs it: a tuple of its keys (exact strs, their
// hashes made) and the prepared data of its values, one per key.
bool is_record(PyObject* arg) {
    if (PyTuple_CheckExact(arg) && PyTuple_GET_SIZE(arg) == 2 && PyTuple_CheckExact(PyTuple_GET_ITEM(arg, 0)) &&
        PyBytes_CheckExact(PyTuple_GET_ITEM(arg, 1))) {
        return true;
    }
    PyErr_SetString(PyExc_TypeError, "a record must be a tuple of its keys and its prepared values");
    return false;
}

// The dict of one record: each value made from its prepared characters, put under its
// key as it comes (its hash is already in the str, as in a key a reader kept).
PyObject* load_record_floor(PyObject*, PyObject* arg) {
    if (!is_record(arg)) {
        return nullptr;
    }
    PyObject* keys = PyTuple_GET_ITEM(arg, 0);
    Prepared data(PyTuple_GET_ITEM(arg, 1));
    Ref dict = Ref::steal(_PyDict_NewPresized(static_cast<Py_ssize_t>(data.count())));
    for (std::uint64_t i = 0; dict && i < data.count(); ++i) {
        Entry e = data.entry(i);
        Ref value = text_of(e.width, e.chars, data.area() + e.chars_at);
        if (!value || PyDict_SetItem(dict.get(), PyTuple_GET_ITEM(keys, static_cast<Py_ssize_t>(i)), value.get()) < 0) {
            return nullptr;
        }
    }
    return dict.release();
}

// Whether a record's keys are exact strs, one per prepared value.
bool record_well_formed(PyObject* arg) {
    PyObject* keys = PyTuple_GET_ITEM(arg, 0);
    Prepared data(PyTuple_GET_ITEM(arg, 1));
    if (!data.well_formed() || static_cast<std::uint64_t>(PyTuple_GET_SIZE(keys)) != data.count()) {
        return false;
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(keys); ++i) {
        if (!PyUnicode_CheckExact(PyTuple_GET_ITEM(keys, i))) {
            return false;
        }
    }
    return true;
}

class Runs {
public:
    explicit Runs(const Prepared& data) : sizes_(data.head().run_bytes), chars_(data.head().run_chars) {}

    bool reserve() {
        return utf8_.reserve(sizes_[0] + sizes_[1] + sizes_[2]) && latin1_.reserve(sizes_[0]) &&
               ucs2_.reserve(sizes_[1]) && ucs4_.reserve(sizes_[2]);
    }

    void gather(const Prepared& data) {
        RunSizes at = {0, sizes_[0], sizes_[0] + sizes_[1]};
        for (std::uint64_t i = 0; i < data.count(); ++i) {
            Entry e = data.entry(i);
            std::memcpy(utf8_.data() + at[run_of(e.width)], data.area() + e.utf8_at, e.utf8_size);
            at[run_of(e.width)] += e.utf8_size;
        }
    }

    // False when a run is not valid UTF-8, does not fit its width, or holds other
    // than the characters its texts are said to have.
    bool transcode() {
        const char* run = utf8_.data();
        RunSizes written = {
            sizes_[0] == 0 ? 0 : simdutf::convert_utf8_to_latin1(run, sizes_[0], latin1_.data()),
            sizes_[1] == 0 ? 0 : simdutf::convert_utf8_to_utf16(run + sizes_[0], sizes_[1], ucs2_.data()),
            sizes_[2] == 0 ? 0 : simdutf::convert_utf8_to_utf32(run + sizes_[0] + sizes_[1], sizes_[2], ucs4_.data()),
        };
        return written == chars_;
    }

    // The characters of the next text of the given width, in the order gathered.
    const void* next(const Entry& e) {
        std::uint64_t& taken = taken_[run_of(e.width)];
        const void* characters = run_of(e.width) == 0   ? static_cast<const void*>(latin1_.data() + taken)
                                 : run_of(e.width) == 1 ? static_cast<const void*>(ucs2_.data() + taken)
                                                        : static_cast<const void*>(ucs4_.data() + taken);
        taken += e.chars;
        return characters;
    }

private:
    RunSizes sizes_;  // bytes of UTF-8 per run
    RunSizes chars_;  // the characters its texts are said to have
    RunSizes taken_{};
    MemArray<char> utf8_;
    MemArray<char> latin1_;
    MemArray<char16_t> ucs2_;
    MemArray<char32_t> ucs4_;
};

PyObject* load_transcoded(PyObject*, PyObject* arg) {
    if (!is_bytes(arg)) {
        return nullptr;
    }
    Prepared data(arg);
    Runs runs(data);
    if (!runs.reserve()) {
        return PyErr_NoMemory();
    }
    runs.gather(data);
    if (!runs.transcode()) {
        PyErr_SetString(PyExc_ValueError, "the texts are not valid UTF-8 of their widths and lengths");
        return nullptr;
    }
    return dict_of(data, [&](std::uint64_t i) {
        Entry e = data.entry(i);
        return text_of(e.width, e.chars, runs.next(e));
    });
}

// The most an item of data the writers take may need: its length and at most 48 bytes
// of text (the most a number takes), which bounds.py checks beforehand.
constexpr Py_ssize_t most_item = 1 + 48;

// An exact str's characters, ASCII, after its length.
char* put_ascii(char* out, PyObject* text) {
    Py_ssize_t size = PyUnicode_GET_LENGTH(text);
    out[0] = static_cast<char>(size);
    std::memcpy(out + 1, PyUnicode_DATA(text), static_cast<std::size_t>(size));
    return out + 1 + size;
}

struct OwnDigits {
    static char* put(char* out, PyObject* number) {
        Py_ssize_t size = zav::number_text(number, out + 1);
        out[0] = static_cast<char>(size);
        return out + 1 + size;
    }
};

struct StdDigits {
    static char* put(char* out, PyObject* number) {
        char* end = out + most_item;
        PyTypeObject* type = Py_TYPE(number);
        if (type == &PyFloat_Type) {
            end = std::to_chars(out + 1, end, PyFloat_AS_DOUBLE(number)).ptr;
        } else if (type == &PyBool_Type) {
            end = number == Py_True ? std::copy_n("True", 4, out + 1) : std::copy_n("False", 5, out + 1);
        } else {
            end = std::to_chars(out + 1, end, value_of(number)).ptr;
        }
        out[0] = static_cast<char>(end - out - 1);
        return end;
    }

    // The value of an exact int within 64 bits, as CPython gives it to any extension.
    static long long value_of(PyObject* number) {
        auto* n = reinterpret_cast<PyLongObject*>(number);
        return PyUnstable_Long_IsCompact(n) ? PyUnstable_Long_CompactValue(n) : PyLong_AsLongLong(number);
    }
};

// The fastest digits known for each number: Dragonbox's own layout of a double's
// shortest digits (d.dddE±x, less work than str()'s two forms), and our int digits, which are the fastest known (the IFMA kernel
// where the processor and the text kernels have it; elsewhere the portable routine,
// which the classic digit pairs and std::to_chars are slower than).
struct FastestDigits {
    static char* put(char* out, PyObject* number) {
        if (Py_TYPE(number) != &PyFloat_Type) {
            return OwnDigits::put(out, number);
        }
        double value = PyFloat_AS_DOUBLE(number);
        char* end = std::isfinite(value) ? jkj::dragonbox::to_chars_n(value, out + 1)
                                         : out + 1 + zav::float_text(value, out + 1);
        out[0] = static_cast<char>(end - out - 1);
        return end;
    }
};

template <class Digits>
char* put_item(char* out, PyObject* item) {
    return PyUnicode_CheckExact(item) ? put_ascii(out, item) : Digits::put(out, item);
}

// The bytes object the items go to, large enough for count items, and its end once written.
class Written {
public:
    explicit Written(Py_ssize_t count) : bytes_(Ref::steal(PyBytes_FromStringAndSize(nullptr, count * most_item))) {}
    char* start() const { return bytes_ ? PyBytes_AS_STRING(bytes_.get()) : nullptr; }
    PyObject* finish(const char* end) {
        PyObject* bytes = bytes_.release();
        return _PyBytes_Resize(&bytes, end - PyBytes_AS_STRING(bytes)) < 0 ? nullptr : bytes;
    }

private:
    Ref bytes_;
};

template <class Digits>
PyObject* write_list(PyObject* list) {
    Py_ssize_t count = PyList_GET_SIZE(list);
    Written written(count);
    char* out = written.start();
    if (out == nullptr) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        out = put_item<Digits>(out, PyList_GET_ITEM(list, i));
    }
    return written.finish(out);
}

// A dict's pairs read in place, as our writer reads them (DictEntries, compat.h).
template <class Digits>
PyObject* write_dict(PyObject* dict) {
    DictEntries entries(dict);
    Written written(2 * entries.slots());
    char* out = written.start();
    if (out == nullptr) {
        return nullptr;
    }
    PyObject* key;
    PyObject* value;
    while (entries.next(key, value)) {
        out = put_item<Digits>(put_ascii(out, key), value);
    }
    return written.finish(out);
}

template <class Digits>
PyObject* write_floor(PyObject*, PyObject* arg) {
    if (PyList_CheckExact(arg)) {
        return write_list<Digits>(arg);
    }
    if (PyDict_CheckExact(arg) && DictEntries(arg)) {
        return write_dict<Digits>(arg);
    }
    PyErr_SetString(PyExc_TypeError, "the writers take a list or a dict with a combined table");
    return nullptr;
}

// A str's UTF-8 as any writer finds it in a warm str: an ASCII str's characters, or
// the copy a non-ASCII str keeps once asked for it (bounds.py makes sure it has one).
std::string_view utf8_of(PyObject* text) {
    if (PyUnicode_IS_ASCII(text)) {
        return {static_cast<const char*>(PyUnicode_DATA(text)), static_cast<std::size_t>(PyUnicode_GET_LENGTH(text))};
    }
    auto* compact = reinterpret_cast<PyCompactUnicodeObject*>(text);
    return {compact->utf8, static_cast<std::size_t>(compact->utf8_length)};
}

// A length as the record writes it: seven bits a byte, the first ones flagged; the
// texts bounds.py takes are below 2**14 bytes.
char* put_length(char* out, std::size_t size) {
    if (size < 0x80) {
        *out = static_cast<char>(size);
        return out + 1;
    }
    out[0] = static_cast<char>(0x80 | (size >> 7));
    out[1] = static_cast<char>(size & 0x7F);
    return out + 2;
}

// Every item's UTF-8 after its length, in a bytes object of the record's size, made
// once after a pass that sums the sizes: what a writer of warm strs cannot skip. The
// pass also makes sure that every str holds its UTF-8.
PyObject* text_floor(PyObject*, PyObject* list) {
    if (!PyList_CheckExact(list)) {
        PyErr_SetString(PyExc_TypeError, "text_floor takes a list");
        return nullptr;
    }
    Py_ssize_t count = PyList_GET_SIZE(list);
    std::size_t total = 0;
    for (Py_ssize_t i = 0; i < count; ++i) {
        std::string_view text = utf8_of(PyList_GET_ITEM(list, i));
        if (text.data() == nullptr) {
            PyErr_SetString(PyExc_ValueError, "a str holds no UTF-8 copy");
            return nullptr;
        }
        total += text.size() + (text.size() < 0x80 ? 1 : 2);
    }
    Ref bytes = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(total)));
    if (!bytes) {
        return nullptr;
    }
    char* out = PyBytes_AS_STRING(bytes.get());
    for (Py_ssize_t i = 0; i < count; ++i) {
        std::string_view text = utf8_of(PyList_GET_ITEM(list, i));
        out = put_length(out, text.size());
        std::memcpy(out, text.data(), text.size());
        out += text.size();
    }
    return bytes.release();
}

PyObject* check(PyObject*, PyObject* arg) {
    if (!is_bytes(arg)) {
        return nullptr;
    }
    return PyBool_FromLong(Prepared(arg).well_formed());
}

PyObject* check_record(PyObject*, PyObject* arg) {
    if (!is_record(arg)) {
        return nullptr;
    }
    return PyBool_FromLong(record_well_formed(arg));
}

PyMethodDef methods[] = {
    {"check", check, METH_O, "check(data) -> bool: whether data is prepared data, safe to load"},
    {"check_record", check_record, METH_O,
     "check_record((keys, data)) -> bool: whether a record's argument is safe to load"},
    // The loaders trust data that check() or check_record() has passed: checking it in
    // every call would add to the time they bound.
    {"floor", load_floor, METH_O, "floor(data) -> dict: the strs from their prepared characters; data must pass check()"},
    {"transcoded", load_transcoded, METH_O,
     "transcoded(data) -> dict: the strs from their UTF-8, by simdutf; data must pass check()"},
    {"list_floor", load_list_floor, METH_O,
     "list_floor(data) -> list: the strs from their prepared characters; data must pass check()"},
    {"shared_list_floor", load_shared_list_floor, METH_O,
     "shared_list_floor(data) -> list: as list_floor, a short text that came before given the same str"},
    {"record_floor", load_record_floor, METH_O,
     "record_floor((keys, data)) -> dict: the values' strs from their prepared characters under the given keys; "
     "the argument must pass check_record()"},
    // The writers trust data that bounds.py has checked: exact ints within 64 bits,
    // floats, bools and ASCII strs of at most 48 characters, as keys only strs.
    {"digits_floor", write_floor<OwnDigits>, METH_O,
     "digits_floor(data) -> bytes: each item's text after its length, numbers by our routines"},
    {"std_floor", write_floor<StdDigits>, METH_O,
     "std_floor(data) -> bytes: each item's text after its length, numbers by std::to_chars"},
    {"fastest_floor", write_floor<FastestDigits>, METH_O,
     "fastest_floor(data) -> bytes: each item's text after its length, floats by Dragonbox's own layout"},
    // Takes a list of exact strs of fewer than 2**14 bytes of UTF-8, each ASCII or
    // holding its UTF-8 copy.
    {"int_list_floor", number_list_floor<long long>, METH_O,
     "int_list_floor(int64s: bytes) -> list: the ints of a C array, in a list made at its size"},
    {"float_list_floor", number_list_floor<double>, METH_O,
     "float_list_floor(doubles: bytes) -> list: the floats of a C array, in a list made at its size"},
#if defined(__x86_64__)
    {"int_text_floor", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(number_text_floor<SimdInt>)), METH_FASTCALL,
     "int_text_floor(record, count) -> list: the ints of a list record of int64 texts, 16 digits at once"},
#endif
    {"float_text_floor", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(number_text_floor<FastFloat>)), METH_FASTCALL,
     "float_text_floor(record, count) -> list: the floats of a list record of decimal texts, by fast_float"},
    {"text_floor", text_floor, METH_O, "text_floor(data) -> bytes: each str's UTF-8 after its length"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot slots[] = {
    {Py_mod_gil, Py_MOD_GIL_USED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "bounds", nullptr, 0, methods, slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_bounds() { return PyModuleDef_Init(&module_def); }
