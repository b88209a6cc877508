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

// The same for an int whose magnitude is below 2**256, in four words, the least
// significant first; false for a larger int.
constexpr std::size_t wide_int_words = 4;
inline bool wide_int_magnitude(PyObject* obj, std::uint64_t (&words)[wide_int_words], bool& negative) {
    const _PyLongValue& value = reinterpret_cast<PyLongObject*>(obj)->long_value;
    constexpr std::size_t most_digits = (64 * wide_int_words + PyLong_SHIFT - 1) / PyLong_SHIFT;
    std::size_t digits = value.lv_tag >> _PyLong_NON_SIZE_BITS;
    if (digits > most_digits) {
        return false;
    }
    __extension__ using Wide = unsigned __int128;  // a GCC and Clang type on 64-bit targets
    Wide held = 0;  // bits read and not yet in a word
    int held_bits = 0;
    std::size_t filled = 0;
    for (std::size_t i = 0; i < digits; ++i) {
        held |= Wide{value.ob_digit[i]} << held_bits;
        held_bits += PyLong_SHIFT;
        if (held_bits >= 64) {
            if (filled == wide_int_words) {
                return false;
            }
            words[filled++] = static_cast<std::uint64_t>(held);
            held >>= 64;
            held_bits -= 64;
        }
    }
    if (held != 0 && filled == wide_int_words) {
        return false;
    }
    for (; filled < wide_int_words; ++filled) {
        words[filled] = static_cast<std::uint64_t>(held);
        held = 0;
    }
    negative = (value.lv_tag & _PyLong_SIGN_MASK) == 2;
    return true;
}

// The same for an int held in one digit (below 2**30), as PyUnstable_Long_IsCompact
// tells it, with the sign read apart; false for an int of more digits.
inline bool one_digit_magnitude(PyObject* obj, std::uint32_t& magnitude, bool& negative) {
    const _PyLongValue& value = reinterpret_cast<PyLongObject*>(obj)->long_value;
    if (value.lv_tag >= (2 << _PyLong_NON_SIZE_BITS)) {
        return false;
    }
    magnitude = value.ob_digit[0];
    negative = (value.lv_tag & _PyLong_SIGN_MASK) == 2;
    return true;
}

// The entries of a dict with a combined table, read in place from CPython's keys
// object, whose layout every supported version shares: PyDict_Next costs a call of some
// forty instructions an entry, several times what reading the entry takes. Only while
// no Python code runs, as with PyDict_Next. The module checks at import that it reads
// what PyDict_Next yields (dict_entries_readable), and goes without it otherwise.
class DictEntries {
public:
    DictEntries() = default;

    // Ready (true) when d's table is combined; a split table is left to PyDict_Next.
    explicit DictEntries(PyObject* d) {
        const PyDictObject* dict = reinterpret_cast<PyDictObject*>(d);
        if (dict->ma_values != nullptr) {
            return;
        }
        const auto* keys = reinterpret_cast<const KeysHeader*>(dict->ma_keys);
        const char* entries = reinterpret_cast<const char*>(keys + 1) + (std::size_t{1} << keys->log2_index_bytes);
        bool general = keys->kind == general_kind;
        first_ = entries + (general ? sizeof(Py_hash_t) : 0);
        stride_ = general ? 3 * sizeof(PyObject*) : 2 * sizeof(PyObject*);
        next_ = first_;
        end_ = first_ + static_cast<std::size_t>(keys->nentries) * stride_;
    }

    explicit operator bool() const { return first_ != nullptr; }

    // The entries the table has used, deleted ones included.
    Py_ssize_t slots() const { return static_cast<Py_ssize_t>(static_cast<std::size_t>(end_ - first_) / stride_); }

    // As PyDict_Next: the next entry that holds a value; false at the end.
    bool next(PyObject*& key, PyObject*& value) {
        for (; next_ != end_; next_ += stride_) {
            auto* entry = reinterpret_cast<PyObject* const*>(next_);
            if (entry[1] != nullptr) {
                key = entry[0];
                value = entry[1];
                next_ += stride_;
                return true;
            }
        }
        return false;
    }

    // Where the value of the entry that next() gave last is held: for a dict that no
    // one else has seen yet, whose values may be put in place (see shape_cache).
    PyObject** last_value_place() const {
        return const_cast<PyObject**>(reinterpret_cast<PyObject* const*>(next_ - stride_) + 1);
    }

    // The position of the entry that next() gave last, from which PyDict_Next gives it
    // again.
    Py_ssize_t last_position() const {
        return static_cast<Py_ssize_t>(static_cast<std::size_t>(next_ - first_) / stride_) - 1;
    }

private:
    // The head of CPython's keys object; the indices follow it, then the entries: the
    // key and value of a str-keyed table, the hash, key and value of any other.
    struct KeysHeader {
        Py_ssize_t refcnt;
        std::uint8_t log2_size;
        std::uint8_t log2_index_bytes;
        std::uint8_t kind;
#ifdef Py_GIL_DISABLED
        PyMutex mutex;
#endif
        std::uint32_t version;
        Py_ssize_t usable;
        Py_ssize_t nentries;
    };
    static constexpr std::uint8_t general_kind = 0;

    const char* first_ = nullptr;  // the first entry's key
    const char* next_ = nullptr;   // the key of the entry to look at next
    const char* end_ = nullptr;
    std::size_t stride_ = 0;
};
