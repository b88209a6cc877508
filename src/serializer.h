// Internal interface shared by the module frame, the text codec and the record formats.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "compat.h"
#include "numbers.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <source_location>
#include <utility>

namespace zav {

// Owns one strong reference; moving transfers it, destruction releases it.
class Ref {
public:
    Ref() noexcept = default;
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    static Ref borrow(PyObject* p) noexcept { return Ref(Py_XNewRef(p)); }

    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        Ref old(std::exchange(p_, std::exchange(other.p_, nullptr)));
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// Up to N references, each made in place as it comes: an array of N Refs would clear
// and release all N on every use, however few it held.
template <std::size_t N>
class RefRun {
public:
    RefRun() = default;
    RefRun(const RefRun&) = delete;
    RefRun& operator=(const RefRun&) = delete;
    ~RefRun() {
        for (std::size_t i = size_; i-- > 0;) {
            data()[i].~Ref();
        }
    }

    bool full() const { return size_ == N; }
    std::size_t size() const { return size_; }
    // Adds an empty reference (there is room: not full()) and returns it.
    Ref& add() { return *new (storage_ + sizeof(Ref) * size_++) Ref(); }
    Ref* data() { return std::launder(reinterpret_cast<Ref*>(storage_)); }

private:
    alignas(Ref) unsigned char storage_[sizeof(Ref) * N];
    std::size_t size_ = 0;
};

// An array of trivial values in memory from PyMem_Malloc, freed with it. Growing never
// sets an exception: callers that can do without it go on without.
template <class T>
class MemArray {
public:
    MemArray() noexcept = default;
    MemArray(const MemArray&) = delete;
    MemArray& operator=(const MemArray&) = delete;
    ~MemArray() {
        if (data_ != nullptr) {
            PyMem_Free(data_);
        }
    }

    // Room for n values in all (the values held are kept); false when memory is short.
    bool reserve(std::size_t n) {
        if (n <= capacity_) {
            return true;
        }
        void* grown = n <= PY_SSIZE_T_MAX / sizeof(T) ? PyMem_Realloc(data_, n * sizeof(T)) : nullptr;
        if (grown == nullptr) {
            return false;
        }
        data_ = static_cast<T*>(grown);
        capacity_ = n;
        return true;
    }

    // Appends value, doubling the room when full; false when memory is short.
    bool push(const T& value) {
        if (size_ == capacity_ && !reserve(capacity_ < 16 ? 16 : 2 * capacity_)) {
            return false;
        }
        data_[size_++] = value;
        return true;
    }

    T* data() noexcept { return data_; }
    T& operator[](std::size_t i) noexcept { return data_[i]; }
    const T& operator[](std::size_t i) const noexcept { return data_[i]; }
    std::size_t size() const noexcept { return size_; }

private:
    T* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

// Holds a critical section on one object for the lifetime of the guard. With the GIL
// there is nothing to hold, as with CPython's own Py_BEGIN_CRITICAL_SECTION.
class CriticalSection {
public:
#ifdef Py_GIL_DISABLED
    explicit CriticalSection(PyObject* op) { PyCriticalSection_Begin(&cs_, op); }
    ~CriticalSection() { PyCriticalSection_End(&cs_); }
#else
    explicit CriticalSection(PyObject*) {}
#endif
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;

#ifdef Py_GIL_DISABLED
private:
    PyCriticalSection cs_;
#endif
};

// The lock of one slot of a process-wide cache (the key cache, the shape cache): a
// PyMutex without the GIL, held only while no Python code runs and nothing is freed,
// and never two at once; with the GIL nothing in the caches lets another thread in,
// and there is nothing to hold.
struct SlotMutex {
#ifdef Py_GIL_DISABLED
    PyMutex mutex{};
#endif
};

class SlotLock {
public:
#ifdef Py_GIL_DISABLED
    explicit SlotLock(SlotMutex& slot) : mutex_(slot.mutex) { PyMutex_Lock(&mutex_); }
    ~SlotLock() { PyMutex_Unlock(&mutex_); }
#else
    explicit SlotLock(SlotMutex&) {}
#endif
    SlotLock(const SlotLock&) = delete;
    SlotLock& operator=(const SlotLock&) = delete;

#ifdef Py_GIL_DISABLED
private:
    PyMutex& mutex_;
#endif
};

// Process-wide objects made once at import and only read afterwards. They are never
// released: the module may be loaded once per process and lives until it ends.
struct Names {
    PyObject* io;
    PyObject* BytesIO;
    PyObject* write;
    PyObject* getvalue;
    PyObject* encode;
    PyObject* builtins;
    PyObject* obj;
    PyObject* d;
    PyObject* l;
    PyObject* raw_data;
    PyObject* deserialize;
};

struct Texts {
    // "False" and "True", interned: the items that lists of values mixed with flags
    // repeat the most, which the list reader hands out shared.
    PyObject* truths[2];
    PyObject* corrupt_key;
    PyObject* corrupt_value;
    PyObject* corrupt_item;
    PyObject* dict_changed_size;
    PyObject* none_not_iterable;
};

struct State {
    Names names;
    Texts texts;
    PyObject* varnum_bounds[4];  // 2**35, 2**42, 2**49, 2**56
    PyObject* defaults;          // (True,)
    PyObject* module;
    PyObject* namespace_;
    PyObject* builtins;
    PyObject* io_module;         // the io module bound at import
    PyObject* standard_bytesio;  // _io.BytesIO, whose write and getvalue run no Python code
    PyObject* encode_function;   // the module's own encode(), as made at import
    bool dict_entries_readable;  // DictEntries reads what PyDict_Next yields (checked at import)
};

extern State state;

// Adds a traceback entry "zav.serializer.<routine>" to the pending exception.
void add_traceback(const char* routine,
                   std::source_location where = std::source_location::current());

// The object bound to `name` in the module namespace, else among the builtins,
// else NameError.
Ref lookup_global(PyObject* name);

// Whether `io.BytesIO`, looked up as the writers look it up, is the standard BytesIO;
// false also where that lookup would fail or run Python code. Answers from a cache that
// every change of the dicts it depends on invalidates; never leaves an exception set.
bool standard_stream_bound();

// Whether `encode`, looked up as lookup_global does, is the module's own encode().
bool own_encode_bound();

// The truth of an object, asking it only when it is not True, False or None.
inline int is_true(PyObject* obj) {
    if (obj == Py_True) {
        return 1;
    }
    if (obj == Py_False || obj == Py_None) {
        return 0;
    }
    return PyObject_IsTrue(obj);
}

// Text codec.
Ref _encode(PyObject* obj);  // bytes or None, as the module's encode()
Ref _decode(PyObject* obj);  // str or None, as the module's decode()

// The bytes of 1 to 8 bytes or-ed together (in some byte of the result), from loads
// within them: two overlapping words of four from 4 bytes on, three single bytes below.
inline std::uint32_t short_bytes_or(const unsigned char* p, std::size_t n) {
    if (n >= 4) {
        std::uint32_t first;
        std::uint32_t last;
        std::memcpy(&first, p, 4);
        std::memcpy(&last, p + n - 4, 4);
        return first | last;
    }
    return p[0] | p[n / 2] | p[n - 1];
}

// Copies n bytes. Record entries are mostly short: two overlapping fixed-size moves
// copy 4 to 32 bytes without a call, three single bytes 1 to 3.
inline void copy_short(unsigned char* out, const void* data, std::size_t n) {
    const auto* from = static_cast<const unsigned char*>(data);
    if (n >= 16 && n <= 32) {
        std::memcpy(out, from, 16);
        std::memcpy(out + n - 16, from + n - 16, 16);
    } else if (n >= 8 && n < 16) {
        std::memcpy(out, from, 8);
        std::memcpy(out + n - 8, from + n - 8, 8);
    } else if (n >= 4 && n < 8) {
        std::memcpy(out, from, 4);
        std::memcpy(out + n - 4, from + n - 4, 4);
    } else if (n > 0 && n < 4) {
        out[0] = from[0];
        out[n / 2] = from[n / 2];
        out[n - 1] = from[n - 1];
    } else if (n > 32) {
        std::memcpy(out, from, n);
    }
}

// The same for a run of items whose lengths vary from one to the next: four
// overlapping words copy 8 to 32 bytes without a branch on the length, whose outcome
// would be mispredicted as often as it changes. Where lengths repeat, as with map keys,
// the two moves above cost less. Shorter items take those moves too: a call of memcpy
// for a code of two or three letters costs more than the item's other work.
inline void copy_varied(unsigned char* out, const void* data, std::size_t n) {
    const auto* from = static_cast<const unsigned char*>(data);
    if (n < 8 || n > 32) {
        copy_short(out, from, n);
        return;
    }
    std::size_t last = n - 8;
    std::size_t second = std::min<std::size_t>(8, last);
    std::size_t third = std::min<std::size_t>(16, last);
    std::uint64_t words[4];
    std::memcpy(&words[0], from, 8);
    std::memcpy(&words[1], from + second, 8);
    std::memcpy(&words[2], from + third, 8);
    std::memcpy(&words[3], from + last, 8);
    std::memcpy(out, &words[0], 8);
    std::memcpy(out + second, &words[1], 8);
    std::memcpy(out + third, &words[2], 8);
    std::memcpy(out + last, &words[3], 8);
}

// The transcoder: str storage to UTF-8 and back, with no intermediate object.
namespace utf8 {
// The UTF-8 copy that CPython keeps inside a non-ASCII str once asked for it, or null.
// It is set at most once, by any thread; the acquire load pairs with its publication.
inline const char* cached(PyObject* text, Py_ssize_t& size) {
    auto* compact = reinterpret_cast<PyCompactUnicodeObject*>(text);
    const char* utf8 = __atomic_load_n(&compact->utf8, __ATOMIC_ACQUIRE);
    if (utf8 != nullptr) {
        size = compact->utf8_length;
    }
    return utf8;
}
// A new str of size ASCII bytes, 2 or more (CPython shares those of one or none). A new
// ASCII str is compact, its characters right after the header: no need to ask the str
// where they are.
inline PyObject* new_ascii(const char* data, Py_ssize_t size) {
    PyObject* text = PyUnicode_New(size, 127);
    if (text != nullptr) {
        assert(PyUnicode_IS_COMPACT_ASCII(text));
        copy_short(reinterpret_cast<unsigned char*>(reinterpret_cast<PyASCIIObject*>(text) + 1), data,
                   static_cast<std::size_t>(size));
    }
    return text;
}
// The same for 1 or more bytes: CPython shares the strs of one character (digits,
// flags), and its decoder gives those.
inline PyObject* new_short_ascii(const char* data, Py_ssize_t size) {
    return size == 1 ? PyUnicode_FromOrdinal(static_cast<unsigned char>(data[0])) : new_ascii(data, size);
}
// Whether strict UTF-8 can encode an exact non-ASCII str: it holds no surrogate.
bool encodable(PyObject* text);
// The UTF-8 size of an exact str that is encodable.
Py_ssize_t encoded_size(PyObject* text);
// The largest that size may be, from the length and the width alone.
inline Py_ssize_t most_encoded_size(PyObject* text) {
    // Latin-1 takes at most 2 bytes a character, the BMP 3 and beyond it 4.
    Py_ssize_t per_char = PyUnicode_KIND(text) == PyUnicode_4BYTE_KIND ? 4 : PyUnicode_KIND(text) + 1;
    return PyUnicode_GET_LENGTH(text) * per_char;
}
// Writes the UTF-8 of an exact str that is encodable (transcoded, even where the str
// holds a UTF-8 copy: one may appear at any time); returns the end.
unsigned char* encode_into(PyObject* text, unsigned char* out);
// A new str from UTF-8, at the width CPython's decoder would choose; its error for
// malformed input.
PyObject* decode(const char* data, Py_ssize_t size);
// Whether simdutf runs here; false with ImportError set when it cannot.
bool check_kernels();

// Makes the strs of the non-ASCII texts of one record ahead of the reader, a window of
// texts at a time: one validation and one transcoding per str width of a window
// instead of several calls per text, which short texts pay for dearly. Texts are
// announced first, in the order they will be asked for; a text that is not announced,
// or whose run of its width holds malformed UTF-8, is left to decode(), whose errors
// are the ones users see.
class TextBatch {
public:
    // A batch pays for a record of at least least_short_texts(its size) texts (short
    // enough on average to be batched) that holds enough non-ASCII text.
    static Py_ssize_t least_short_texts(std::size_t size);
    static bool has_enough_non_ascii(const char* record, std::size_t size);

    // Announces data, if it is worth batching; false when memory is short (the batch
    // then holds nothing and no exception is set).
    bool announce(const char* data, std::size_t size);

    // 1 with the str of data in text when data is the next announced text and made
    // here, -1 with an exception set when making it failed, 0 when it is not made here.
    int take(const char* data, std::size_t size, PyObject*& text) {
        return next_ == texts_.size() ? 0 : take_announced(data, size, text);
    }

private:
    struct Text {
        const char* data;
        std::size_t size;
        Py_ssize_t chars;
        Py_UCS4 width;
        std::size_t first;  // its first character among those of its width, if ready
        bool ready;         // its window is prepared: valid, with its characters at first
    };
    // Sizes or counts for the three runs of a window, one per width: Latin-1, UCS-2, UCS-4.
    using RunSizes = std::array<std::size_t, 3>;

    int take_announced(const char* data, std::size_t size, PyObject*& text);
    void prepare_window();
    std::size_t window_from(std::size_t from, RunSizes& sizes) const;
    bool reserve_runs(const RunSizes& sizes);
    bool gather_runs(const RunSizes& sizes);
    RunSizes transcode_runs(const RunSizes& sizes);

    MemArray<Text> texts_;
    std::size_t next_ = 0;         // the next text to be asked for
    std::size_t window_end_ = 0;   // the texts before it have been through a window
    MemArray<char> bytes_;         // the window's texts, one after another by width
    MemArray<char> latin1_;        // the characters of those of each width
    MemArray<char16_t> ucs2_;
    MemArray<char32_t> ucs4_;
};
}  // namespace utf8

// The str of short map keys, kept between calls: records of one schema repeat their
// keys, and a kept str is handed out again at the cost of one lookup, with its hash
// already known to the dict it goes into. Process-wide and bounded (src/key_cache.cpp).
namespace key_cache {
// Keys of 2 to max_size bytes are kept; CPython shares the str of one character or
// none already.
constexpr std::size_t max_size = 32;
inline bool holds(std::size_t size) { return size - 2 < max_size - 1; }

struct Slot;

// The slot of one key's bytes (of a size that holds() admits).
class Probe {
public:
    Probe(const char* data, std::size_t size);
    // A new reference to the str kept for these bytes, or null (no exception set) with
    // admit telling whether to keep the str made for them.
    PyObject* find(bool& admit) const;
    // Keeps text, the str of these bytes, in place of whatever the slot held.
    void keep(PyObject* text) const;

private:
    bool matches() const;

    const char* data_;
    std::size_t size_;
    Slot* slot_;
    std::uint32_t tag_;  // never 0
};
}  // namespace key_cache

// Dicts of the keys that the records of one schema share, in their order, kept between
// calls with None for every value: a record whose keys' bytes are those of a kept dict
// is made as a copy of it with its values put in place, with no key made and none
// looked up. Process-wide and bounded (src/shape_cache.cpp).
namespace shape_cache {
// Records of this many pairs may be made so: below it a copy costs more than inserting.
constexpr Py_ssize_t least_pairs = 4;
constexpr Py_ssize_t most_pairs = 64;
inline bool takes(Py_ssize_t pairs) { return pairs >= least_pairs && pairs <= most_pairs; }

inline std::uint64_t word64(const char* p) {
    std::uint64_t word;
    std::memcpy(&word, p, 8);
    return word;
}

inline std::uint32_t word32(const char* p) {
    std::uint32_t word;
    std::memcpy(&word, p, 4);
    return word;
}

// A word of a key's bytes for the hash: its first and last eight (or four), or three of
// them; equal keys give equal words, and most unequal keys of a schema unequal ones.
// Below eight bytes the word holds every byte, so that equal words mean equal keys.
inline std::uint64_t key_word(const char* p, std::size_t size) {
    if (size >= 8) {
        return word64(p) ^ std::rotl(word64(p + size - 8), 29);
    }
    if (size >= 4) {
        return word32(p) | std::uint64_t{word32(p + size - 4)} << 32;
    }
    if (size > 0) {
        auto byte = [&](std::size_t i) { return std::uint64_t{static_cast<unsigned char>(p[i])}; };
        return byte(0) | byte(size / 2) << 8 | byte(size - 1) << 16;
    }
    return 0;
}

// The keys of a map record as its bytes give them, added in order: their number and a
// hash of their bytes. Inline, as the reader adds every key of most records.
class KeySequence {
public:
    void add(const char* data, std::size_t size) {
        hash_ = (hash_ ^ key_word(data, size) ^ static_cast<std::uint64_t>(size) << 56) * 0x9E3779B97F4A7C15ULL;
        hash_ ^= hash_ >> 29;
        ++count_;
    }
    Py_ssize_t count() const { return count_; }
    std::uint64_t hash() const { return hash_; }

private:
    std::uint64_t hash_ = 0;
    Py_ssize_t count_ = 0;
};

// The kept dict of a sequence of keys, if there is one (true): its keys are then
// compared with the record's, one by one in order, before it is used.
class Template {
public:
    Template() = default;
    explicit Template(const KeySequence& keys);
    explicit operator bool() const { return static_cast<bool>(shape_); }

    // Whether the template's next key is the str of these bytes.
    bool next_key_is(const char* data, std::size_t size);

    // A copy with values[i] (n of them, taken over) in place of its i-th None, or null
    // with an exception set.
    Ref filled(Ref* values, Py_ssize_t n) const;

private:
    friend bool check();

    Ref shape_;
    DictEntries entries_;
};

// Whether the keys of the next map record are worth noting: false but for one record in
// a few while records keep having keys of their own.
bool watching();

// After the record of these keys was made pair by pair into d: keeps d's keys when the
// same keys came last time too.
void consider(const KeySequence& keys, PyObject* d);

// Whether values put in place in a copy of a template read back as inserted ones do;
// checked at import (false: every dict is made pair by pair).
bool check();
}  // namespace shape_cache

// What the record holds for an object whose encoding runs no Python code: an exact
// str, bytes, int of magnitude below 2**256, float or bool.
class PlainForm {
public:
    enum Outcome { plain, general, failed };

    // plain when obj has such a form (now held here), general when it takes the way
    // through _encode (nothing set), failed with an exception set. Inline, as the
    // writers ask it for every entry.
    Outcome take(PyObject* obj) {
        if (PyUnicode_CheckExact(obj)) {
            if (PyUnicode_IS_ASCII(obj)) {
                data_ = static_cast<const char*>(PyUnicode_DATA(obj));
                size_ = PyUnicode_GET_LENGTH(obj);
                return plain;
            }
            return take_text(obj);
        }
        if (PyBytes_CheckExact(obj)) {
            data_ = PyBytes_AS_STRING(obj);
            size_ = PyBytes_GET_SIZE(obj);
            return plain;
        }
        return take_number(obj);
    }

    // The exact size, measured now if it was left open.
    Py_ssize_t size() {
        if (size_ < 0) {
            size_ = utf8::encoded_size(text_);
        }
        return size_;
    }

    // The largest the size may be, without measuring text.
    Py_ssize_t most_size() const { return size_ >= 0 ? size_ : utf8::most_encoded_size(text_); }

    // Writes the bytes at out (room for most_size()); returns the end.
    unsigned char* write(unsigned char* out) const {
        if (text_ != nullptr) {
            return utf8::encode_into(text_, out);
        }
        copy_short(out, data_ != nullptr ? data_ : digits_, static_cast<std::size_t>(size_));
        return out + size_;
    }

private:
    Outcome take_text(PyObject* obj);
    Outcome take_number(PyObject* obj);

    PyObject* text_ = nullptr;     // a non-ASCII str to transcode
    const char* data_ = nullptr;   // else bytes to copy, or null for digits_
    Py_ssize_t size_ = 0;          // -1 for text until measured
    char digits_[max_number_text];
};

// Checks at import whether dict entries can be read in place (DictEntries); false with
// an exception set when the check could not be made.
bool check_dict_entries();

// Module function bodies (the codec's in codec.cpp, the records' in record_writers.cpp
// and record_readers.cpp); each gets its bound arguments and returns a new reference
// or nothing with an exception set.
PyObject* encode_body(PyObject* const* args);
PyObject* decode_body(PyObject* const* args);
PyObject* safe_decode_body(PyObject* const* args);
PyObject* serialize_dict_body(PyObject* const* args);
PyObject* deserialize_dict_body(PyObject* const* args);
PyObject* serialize_list_body(PyObject* const* args);
PyObject* deserialize_list_body(PyObject* const* args);

// zav._stream's iterator of the asyncio readers (async_records.cpp), whose type needs
// the module's state to find the type of its awaitables.
namespace stream {

struct AsyncTypes {
    PyObject* ready;
};

// Adds the type AsyncRecords to the module; 0, or -1 with an exception set.
int add_async_records(PyObject* module);
int traverse_async_types(PyObject* module, visitproc visit, void* arg);
int clear_async_types(PyObject* module);

}  // namespace stream

}  // namespace zav
