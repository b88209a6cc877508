// The transcoder: the characters of a str straight to UTF-8 and UTF-8 straight to a
// str, at SIMD speed, with no intermediate object. Where the input cannot be
// transcoded (a lone surrogate, malformed UTF-8) the callers go to CPython's own codec,
// whose exception is the one users see.
#include "kernels.h"
#include "serializer.h"

#include <simdutf.h>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <algorithm>
#include <cassert>
#include <cstdint>
#include <cstring>

namespace zav::utf8 {

namespace {

// Code units from U+D800 to U+DFFF. In a str each one is a character of its own, even
// a high one followed by a low one, and strict UTF-8 cannot encode any of them.
template <class Unit>
bool portable_has_surrogate(const Unit* data, Py_ssize_t n) {
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

// Word by word for short text, the last word overlapping the one before; simdutf's
// vector code pays from a few words on.
bool is_ascii(const char* data, Py_ssize_t size) {
    if (size >= 64) {
        return simdutf::validate_ascii(data, static_cast<std::size_t>(size));
    }
    std::uint64_t high = 0;
    if (size >= 8) {
        for (Py_ssize_t i = 0; i + 8 < size; i += 8) {
            std::uint64_t word;
            std::memcpy(&word, data + i, 8);
            high |= word;
        }
        std::uint64_t last;
        std::memcpy(&last, data + size - 8, 8);
        high |= last;
    } else if (size > 0) {
        high = short_bytes_or(reinterpret_cast<const unsigned char*>(data), static_cast<std::size_t>(size));
    }
    return (high & 0x8080808080808080ULL) == 0;
}

bool is_continuation(char byte) { return (static_cast<unsigned char>(byte) & 0xC0) == 0x80; }

// What a str made from well-formed, non-ASCII UTF-8 needs: its number of characters
// (the bytes that are not continuation bytes, 10xxxxxx) and its largest character as
// far as the width of the str depends on it. The largest byte tells the latter, as it
// is a lead byte: F0 and up start 4-byte sequences (beyond the BMP), C4 and up any
// other character beyond Latin-1.
struct Shape {
    Py_ssize_t chars;
    Py_UCS4 width;
};

// Sixteen bytes at a time in the compiler's portable vectors (SSE2 on x86-64, NEON on
// ARM): per lane whether a large lead byte was seen, and a count of continuation bytes,
// summed up every 31 blocks, before the eight lanes of a word could add up past 255.
using Bytes16 = unsigned char __attribute__((vector_size(16)));

struct ShapeLanes {
    Bytes16 astral{};
    Bytes16 wide{};
    Bytes16 counts{};
    Py_ssize_t continuation = 0;

    void add(Bytes16 v) {
        astral |= reinterpret_cast<Bytes16>(v >= 0xF0);
        wide |= reinterpret_cast<Bytes16>(v >= 0xC4);
        counts -= reinterpret_cast<Bytes16>((v & 0xC0) == 0x80);  // -1 in each matching lane
    }
    void fold() {
        std::uint64_t words[2];
        std::memcpy(words, &counts, sizeof words);
        for (std::uint64_t word : words) {
            continuation += static_cast<Py_ssize_t>((word * 0x0101010101010101ULL) >> 56);
        }
        counts = Bytes16{};
    }
    static bool any(Bytes16 lanes) {
        std::uint64_t words[2];
        std::memcpy(words, &lanes, sizeof words);
        return (words[0] | words[1]) != 0;
    }
};

Py_UCS4 width_from(bool astral, bool wide) { return astral ? 0x10FFFF : wide ? 0xFFFF : 0xFF; }

// Text shorter than a block, byte by byte.
Shape short_shape_of(const char* data, Py_ssize_t size) {
    unsigned char largest = 0;
    Py_ssize_t continuation = 0;
    for (Py_ssize_t i = 0; i < size; ++i) {
        largest = std::max(largest, static_cast<unsigned char>(data[i]));
        continuation += is_continuation(data[i]);
    }
    return {size - continuation, width_from(largest >= 0xF0, largest >= 0xC4)};
}

Shape portable_shape_of(const char* data, Py_ssize_t size) {
    if (size < 16) {
        return short_shape_of(data, size);
    }
    ShapeLanes lanes;
    Py_ssize_t i = 0;
    for (int blocks = 0; i + 16 <= size; i += 16) {
        Bytes16 v;
        std::memcpy(&v, data + i, 16);
        lanes.add(v);
        if (++blocks == 31) {
            lanes.fold();
            blocks = 0;
        }
    }
    if (i < size) {
        // The last block again, its bytes already seen zeroed: zero is neither a
        // continuation byte nor large.
        constexpr Bytes16 lane = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
        Bytes16 v;
        std::memcpy(&v, data + size - 16, 16);
        lanes.add(v & reinterpret_cast<Bytes16>(lane >= static_cast<unsigned char>(16 - (size - i))));
    }
    lanes.fold();
    return {size - lanes.continuation, width_from(ShapeLanes::any(lanes.astral), ShapeLanes::any(lanes.wide))};
}

#if defined(__x86_64__)
// AVX-512 kernels, taken where simdutf takes its own (src/kernels.h), which need the
// same instructions and more; SIMDUTF_FORCE_IMPLEMENTATION, which picks simdutf's
// kernels, so picks these too. Each loads its last block under a mask, which reads
// nothing beyond the data and leaves zeros: no tail. (Every processor with AVX-512BW
// has POPCNT.)
using kernels::avx512;

// The lanes of a block of `lanes` that hold data, `left` units being left.
[[gnu::target("bmi2")]] std::uint64_t lanes_in_use(Py_ssize_t left, int lanes) {
    return left >= lanes ? ~0ULL >> (64 - lanes) : _bzhi_u64(~0ULL, static_cast<unsigned>(left));
}

[[gnu::target("avx512bw,bmi2,popcnt")]] Shape avx512_shape_of(const char* data, Py_ssize_t size) {
    const __m512i top_bits = _mm512_set1_epi8(static_cast<char>(0xC0));
    const __m512i continuation_bits = _mm512_set1_epi8(static_cast<char>(0x80));
    const __m512i wide_lead = _mm512_set1_epi8(static_cast<char>(0xC4));
    const __m512i astral_lead = _mm512_set1_epi8(static_cast<char>(0xF0));
    Py_ssize_t continuation = 0;
    __mmask64 wide = 0;
    __mmask64 astral = 0;
    for (Py_ssize_t i = 0; i < size; i += 64) {
        __m512i v = _mm512_maskz_loadu_epi8(lanes_in_use(size - i, 64), data + i);
        __mmask64 tails = _mm512_cmpeq_epi8_mask(_mm512_and_si512(v, top_bits), continuation_bits);
        continuation += static_cast<Py_ssize_t>(_mm_popcnt_u64(tails));
        wide |= _mm512_cmpge_epu8_mask(v, wide_lead);
        astral |= _mm512_cmpge_epu8_mask(v, astral_lead);
    }
    return {size - continuation, width_from(astral != 0, wide != 0)};
}

[[gnu::target("avx512bw,bmi2")]] bool avx512_has_surrogate(const char16_t* data, Py_ssize_t n) {
    const __m512i high_bits = _mm512_set1_epi16(static_cast<short>(0xF800));
    const __m512i surrogate = _mm512_set1_epi16(static_cast<short>(0xD800));
    __mmask32 found = 0;
    for (Py_ssize_t i = 0; i < n; i += 32) {
        __m512i v = _mm512_maskz_loadu_epi16(static_cast<__mmask32>(lanes_in_use(n - i, 32)), data + i);
        found |= _mm512_cmpeq_epi16_mask(_mm512_and_si512(v, high_bits), surrogate);
    }
    return found != 0;
}

[[gnu::target("avx512bw,bmi2")]] bool avx512_has_surrogate(const char32_t* data, Py_ssize_t n) {
    const __m512i high_bits = _mm512_set1_epi32(~0x7FF);
    const __m512i surrogate = _mm512_set1_epi32(0xD800);
    __mmask16 found = 0;
    for (Py_ssize_t i = 0; i < n; i += 16) {
        __m512i v = _mm512_maskz_loadu_epi32(static_cast<__mmask16>(lanes_in_use(n - i, 16)), data + i);
        found |= _mm512_cmpeq_epi32_mask(_mm512_and_si512(v, high_bits), surrogate);
    }
    return found != 0;
}

Shape shape_of(const char* data, Py_ssize_t size) {
    return avx512() ? avx512_shape_of(data, size) : portable_shape_of(data, size);
}

template <class Unit>
bool has_surrogate(const Unit* data, Py_ssize_t n) {
    return avx512() ? avx512_has_surrogate(data, n) : portable_has_surrogate(data, n);
}
#else
using kernels::avx512;

Shape shape_of(const char* data, Py_ssize_t size) { return portable_shape_of(data, size); }

template <class Unit>
bool has_surrogate(const Unit* data, Py_ssize_t n) {
    return portable_has_surrogate(data, n);
}
#endif

// The UTF-8 of UCS-4 text without surrogates. With AVX-512, simdutf's kernels from
// UTF-32 to UTF-16 and from UTF-16 to UTF-8 together take a quarter of the time of its
// one from UTF-32 to UTF-8 on text with characters beyond the BMP, and about as long on
// other text; elsewhere that one kernel is the faster.
std::size_t ucs4_to_utf8(const char32_t* data, std::size_t n, char* out) {
    if (!avx512()) {
        return simdutf::convert_valid_utf32_to_utf8(data, n, out);
    }
    constexpr std::size_t block = 512;  // characters, 2 KiB of UTF-16 at most
    char16_t units[2 * block];
    std::size_t written = 0;
    for (std::size_t i = 0; i < n; i += block) {
        std::size_t count = simdutf::convert_valid_utf32_to_utf16(data + i, std::min(block, n - i), units);
        written += simdutf::convert_valid_utf16_to_utf8(units, count, out + written);
    }
    return written;
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

bool encodable(PyObject* text) {
    switch (PyUnicode_KIND(text)) {
    case PyUnicode_1BYTE_KIND:
        return true;
    case PyUnicode_2BYTE_KIND:
        return !has_surrogate(ucs2(text), PyUnicode_GET_LENGTH(text));
    default:
        return !has_surrogate(ucs4(text), PyUnicode_GET_LENGTH(text));
    }
}

Py_ssize_t encoded_size(PyObject* text) {
    if (PyUnicode_IS_ASCII(text)) {
        return PyUnicode_GET_LENGTH(text);
    }
    Py_ssize_t size;
    if (cached(text, size) != nullptr) {
        return size;
    }
    std::size_t n = length_of(text);
    switch (PyUnicode_KIND(text)) {
    case PyUnicode_1BYTE_KIND:
        return static_cast<Py_ssize_t>(simdutf::utf8_length_from_latin1(
            reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(text)), n));
    case PyUnicode_2BYTE_KIND:
        return static_cast<Py_ssize_t>(simdutf::utf8_length_from_utf16(ucs2(text), n));
    default:
        return static_cast<Py_ssize_t>(simdutf::utf8_length_from_utf32(ucs4(text), n));
    }
}

unsigned char* encode_into(PyObject* text, unsigned char* out) {
    char* dest = reinterpret_cast<char*>(out);
    if (PyUnicode_IS_ASCII(text)) {
        std::memcpy(dest, PyUnicode_DATA(text), static_cast<std::size_t>(PyUnicode_GET_LENGTH(text)));
        return out + PyUnicode_GET_LENGTH(text);
    }
    std::size_t n = length_of(text);
    switch (PyUnicode_KIND(text)) {
    case PyUnicode_1BYTE_KIND:
        return out + simdutf::convert_latin1_to_utf8(
                         reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(text)), n, dest);
    case PyUnicode_2BYTE_KIND:
        return out + simdutf::convert_valid_utf16_to_utf8(ucs2(text), n, dest);
    default:
        return out + ucs4_to_utf8(ucs4(text), n, dest);
    }
}

bool check_kernels() {
    // SIMDUTF_FORCE_IMPLEMENTATION may name kernels this processor lacks, or none that
    // simdutf knows; then every conversion would fail, and records lose their text.
    const simdutf::implementation* kernels = simdutf::get_active_implementation();
    if (kernels->supported_by_runtime_system() && simdutf::validate_utf8("\xc3\xa9", 2)) {
        return true;
    }
    PyErr_Format(PyExc_ImportError,
                 "simdutf cannot convert text here: its active implementation '%.*s' does not run on "
                 "this processor (see SIMDUTF_FORCE_IMPLEMENTATION)",
                 static_cast<int>(kernels->name().size()), kernels->name().data());
    return false;
}

namespace {

// Short non-ASCII text, which records mostly hold (names, places, words), is decoded
// here in one pass of a few instructions a byte: simdutf's validation and conversion
// take a few hundred instructions together on a text of a few characters, before their
// vectors pay. Rows of short texts in many scripts are read in about 0.8 of the time.
// Beyond 32 bytes simdutf's AVX-512 kernels win on Latin-1 text.
constexpr Py_ssize_t short_text_size = 32;

// The characters of well-formed UTF-8 of at most short_text_size bytes, into out;
// returns their count, or -1 where the bytes are not well-formed (strictly: no
// overlong form, surrogate or character beyond U+10FFFF), which the caller leaves to
// CPython's decoder and its error. largest receives the largest character.
Py_ssize_t decode_short(const char* text, Py_ssize_t size, Py_UCS4* out, Py_UCS4& largest) {
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    Py_ssize_t count = 0;
    Py_UCS4 most = 0;
    for (Py_ssize_t i = 0; i < size;) {
        Py_UCS4 c = p[i];
        if (c < 0x80) {
            i += 1;
        } else if (c >= 0xC2 && c < 0xE0) {  // C0 and C1 would start overlong forms
            if (i + 1 >= size || !is_continuation(text[i + 1])) {
                return -1;
            }
            c = (c & 0x1F) << 6 | (p[i + 1] & 0x3F);
            i += 2;
        } else if (c >= 0xE0 && c < 0xF0) {
            if (i + 2 >= size || !is_continuation(text[i + 1]) || !is_continuation(text[i + 2])) {
                return -1;
            }
            c = (c & 0x0F) << 12 | (p[i + 1] & 0x3F) << 6 | (p[i + 2] & 0x3F);
            if (c < 0x800 || (c >= 0xD800 && c < 0xE000)) {
                return -1;
            }
            i += 3;
        } else if (c >= 0xF0 && c < 0xF5) {
            if (i + 3 >= size || !is_continuation(text[i + 1]) || !is_continuation(text[i + 2]) ||
                !is_continuation(text[i + 3])) {
                return -1;
            }
            c = (c & 0x07) << 18 | (p[i + 1] & 0x3F) << 12 | (p[i + 2] & 0x3F) << 6 | (p[i + 3] & 0x3F);
            if (c < 0x10000 || c > 0x10FFFF) {
                return -1;
            }
            i += 4;
        } else {
            return -1;  // a continuation byte, or a lead byte no character has
        }
        out[count++] = c;
        most = std::max(most, c);
    }
    largest = most;
    return count;
}

// A new str of the decoded characters, at the width of the largest.
template <class Unit>
PyObject* narrowed(const Py_UCS4* chars, Py_ssize_t count, Py_UCS4 largest) {
    PyObject* text = PyUnicode_New(count, largest);
    if (text != nullptr) {
        auto* out = static_cast<Unit*>(PyUnicode_DATA(text));
        std::copy(chars, chars + count, out);
    }
    return text;
}

// The str of short text, or null without an exception where decode_short cannot make
// it (malformed, or a single character, which CPython shares). Not inlined: its array
// would cost decode() a larger frame for every text, ASCII ones too.
[[gnu::noinline]] PyObject* decode_short_text(const char* data, Py_ssize_t size, bool& made) {
    Py_UCS4 chars[short_text_size];
    Py_UCS4 largest;
    Py_ssize_t count = decode_short(data, size, chars, largest);
    made = count > 1;
    if (!made) {
        return nullptr;
    }
    if (largest <= 0xFF) {
        return narrowed<Py_UCS1>(chars, count, largest);
    }
    return largest <= 0xFFFF ? narrowed<Py_UCS2>(chars, count, largest) : narrowed<Py_UCS4>(chars, count, largest);
}

}  // namespace

PyObject* decode(const char* data, Py_ssize_t size) {
    if (size > 1 && is_ascii(data, size)) {
        return new_ascii(data, size);
    }
    if (size > 1 && size <= short_text_size) {
        bool made;
        PyObject* text = decode_short_text(data, size, made);
        if (made) {
            return text;
        }
        return PyUnicode_DecodeUTF8(data, size, nullptr);
    }
    // One character or none: CPython hands out shared strings. Malformed input: its
    // decoder raises the exact error.
    if (size == 1 && static_cast<unsigned char>(data[0]) < 0x80) {
        return new_short_ascii(data, size);  // the shared str, without the decoder's checks
    }
    if (size <= 1 || !simdutf::validate_utf8(data, static_cast<std::size_t>(size))) {
        return PyUnicode_DecodeUTF8(data, size, nullptr);
    }
    Shape shape = shape_of(data, size);
    if (shape.chars <= 1) {
        return PyUnicode_DecodeUTF8(data, size, nullptr);
    }
    PyObject* text = PyUnicode_New(shape.chars, shape.width);
    if (text != nullptr) {
        [[maybe_unused]] std::size_t written = fill(text, data, static_cast<std::size_t>(size));
        assert(written == static_cast<std::size_t>(shape.chars));
    }
    return text;
}

namespace {

// Texts at least this long are transcoded on their own, at full speed; a window holds
// texts of this many bytes at most, so that its memory stays small.
constexpr std::size_t batched_text_limit = 4096;
constexpr std::size_t window_bytes = 64 * 1024;
// A batch pays where a record holds non-ASCII text of this many continuation bytes or
// more: it costs a look at every text and a few calls per window, which records with a
// few short non-ASCII texts among ASCII ones (most records of a schema) do not repay.
constexpr std::size_t batched_continuation_bytes = 1024;

// The three widths of str storage, which the texts of a window are sorted by: each
// kind is transcoded at once, straight to that width.
int kind_index(Py_UCS4 width) { return width == 0xFF ? 0 : width == 0xFFFF ? 1 : 2; }

}  // namespace

Py_ssize_t TextBatch::least_short_texts(std::size_t size) {
    // Where texts are long on average, most are too long to batch.
    return static_cast<Py_ssize_t>(size / (batched_text_limit / 2)) + 1;
}

bool TextBatch::has_enough_non_ascii(const char* record, std::size_t size) {
    // simdutf counts the bytes that start a character; the rest continue one.
    return size >= batched_continuation_bytes &&
           size - simdutf::count_utf8(record, size) >= batched_continuation_bytes;
}

bool TextBatch::announce(const char* data, std::size_t size) {
    if (size < 2 || size >= batched_text_limit || is_ascii(data, static_cast<Py_ssize_t>(size))) {
        return true;
    }
    Shape shape = shape_of(data, static_cast<Py_ssize_t>(size));
    if (shape.chars <= 1) {
        return true;  // CPython hands out shared strings for one character
    }
    return texts_.push({data, size, shape.chars, shape.width, 0, false});
}

int TextBatch::take_announced(const char* data, std::size_t size, PyObject*& text) {
    if (texts_[next_].data != data || texts_[next_].size != size) {
        return 0;
    }
    if (next_ == window_end_) {
        prepare_window();
    }
    const Text& t = texts_[next_++];
    if (!t.ready) {
        return 0;
    }
    text = PyUnicode_New(t.chars, t.width);
    if (text == nullptr) {
        return -1;
    }
    std::size_t n = static_cast<std::size_t>(t.chars);
    switch (kind_index(t.width)) {
    case 0:
        std::memcpy(PyUnicode_1BYTE_DATA(text), latin1_.data() + t.first, n);
        break;
    case 1:
        std::memcpy(PyUnicode_2BYTE_DATA(text), ucs2_.data() + t.first, n * 2);
        break;
    default:
        std::memcpy(PyUnicode_4BYTE_DATA(text), ucs4_.data() + t.first, n * 4);
        break;
    }
    return 1;
}

// Gathers the texts from next_ on into one run of bytes per width of their str, and
// validates and transcodes each run at once, straight to that width. A run is valid
// UTF-8 and every text starts a character exactly when every text of the run is valid
// UTF-8 on its own; the texts of a run that is not are decoded one by one, each
// raising its own error, or not.
void TextBatch::prepare_window() {
    RunSizes sizes{};
    window_end_ = window_from(next_, sizes);
    if (!reserve_runs(sizes) || !gather_runs(sizes)) {
        return;  // memory is short, or a text starts amid a character
    }
    RunSizes written = transcode_runs(sizes);
    RunSizes first{};
    for (std::size_t i = next_; i < window_end_; ++i) {
        Text& t = texts_[i];
        int kind = kind_index(t.width);
        t.first = first[kind];
        t.ready = written[kind] != 0;  // a run that is not valid transcodes to nothing
        first[kind] += static_cast<std::size_t>(t.chars);
    }
    assert(std::ranges::all_of(std::array{0, 1, 2}, [&](int k) { return written[k] == 0 || written[k] == first[k]; }));
}

// The end of the window that starts with text `from`: texts of window_bytes in all at
// most, or the one text; their sizes summed by width.
std::size_t TextBatch::window_from(std::size_t from, RunSizes& sizes) const {
    std::size_t total = 0;
    std::size_t end = from;
    while (end < texts_.size() && (end == from || total + texts_[end].size <= window_bytes)) {
        total += texts_[end].size;
        sizes[kind_index(texts_[end].width)] += texts_[end].size;
        ++end;
    }
    return end;
}

bool TextBatch::reserve_runs(const RunSizes& sizes) {
    return bytes_.reserve(sizes[0] + sizes[1] + sizes[2]) && latin1_.reserve(sizes[0]) &&
           ucs2_.reserve(sizes[1]) && ucs4_.reserve(sizes[2]);
}

// Copies the window's texts to their runs, one after another in bytes_; false when a
// text starts with a continuation byte.
bool TextBatch::gather_runs(const RunSizes& sizes) {
    RunSizes at = {0, sizes[0], sizes[0] + sizes[1]};
    bool starts_ok = true;
    for (std::size_t i = next_; i < window_end_; ++i) {
        const Text& t = texts_[i];
        std::size_t& offset = at[kind_index(t.width)];
        std::memcpy(bytes_.data() + offset, t.data, t.size);
        starts_ok &= !is_continuation(t.data[0]);
        offset += t.size;
    }
    return starts_ok;
}

// The number of characters each run transcodes to, 0 for a run that is not valid.
TextBatch::RunSizes TextBatch::transcode_runs(const RunSizes& sizes) {
    const char* run = bytes_.data();
    return {
        sizes[0] == 0 ? 0 : simdutf::convert_utf8_to_latin1(run, sizes[0], latin1_.data()),
        sizes[1] == 0 ? 0 : simdutf::convert_utf8_to_utf16(run + sizes[0], sizes[1], ucs2_.data()),
        sizes[2] == 0 ? 0 : simdutf::convert_utf8_to_utf32(run + sizes[0] + sizes[1], sizes[2], ucs4_.data()),
    };
}

}  // namespace zav::utf8
