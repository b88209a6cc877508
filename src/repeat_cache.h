// The strs that one call of the list reader made for its short items, so that an item
// that comes again gets the same str. Lists often repeat a few values (codes, flags,
// small numbers), and a str made again costs an allocation and later its release,
// several times what finding it here costs. The table is the call's own, on the stack:
// it holds borrowed references to strs in the list being made, which keeps them alive
// to the end of the call, and no other thread sees it. Where the first items find
// little (most items distinct), it stops looking for the rest of the call.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "serializer.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace zav {

class RepeatCache {
public:
    // A list of fewer items seldom repeats enough to pay for clearing the table.
    static constexpr Py_ssize_t least_items = 64;

    // Ready for a list of the given number of items; the table is cleared only where
    // it will be looked in.
    void start(Py_ssize_t items) {
        looking_ = items >= least_items;
        if (looking_) {
            std::memset(slots_, 0, sizeof slots_);
        }
    }

    // Whether it still looks items up.
    bool looking() const { return looking_; }

    // Whether to look up the item at p (its one-byte length, then its bytes), with
    // `left` bytes from p on: an item of up to 15 bytes, whose two words can be read
    // whole within the record.
    static bool takes(const unsigned char* p, std::size_t left) { return p[0] < 16 && left >= 16; }

    // A new reference to the str of the ASCII item at p that takes() takes: the one kept
    // for it, else a new one, kept; null with MemoryError. A call of its own, out of the
    // reader's loop, which most lists of distinct items run without it.
    [[gnu::noinline]] PyObject* text_at(const unsigned char* p) {
        Key key = key_of(p);
        if (PyObject* kept = find(key)) {
            return Py_NewRef(kept);
        }
        PyObject* text = utf8::new_ascii(reinterpret_cast<const char*>(p + 1), p[0]);
        if (text != nullptr) {
            keep(key, text);
        }
        return text;
    }

private:
    // An item as the table knows it: its one-byte length and its bytes, in two words.
    struct Key {
        std::uint64_t low;
        std::uint64_t high;
    };

    static Key key_of(const unsigned char* p) {
        int n = p[0] + 1;  // 3 to 16 bytes
        Key key;
        std::memcpy(&key.low, p, 8);
        std::memcpy(&key.high, p + 8, 8);
        key.low &= ~std::uint64_t{0} >> (8 * (8 - std::min(n, 8)));
        key.high = n > 8 ? key.high & ~std::uint64_t{0} >> (8 * (16 - n)) : 0;
        return key;
    }

    // The str kept for the key, borrowed, or null.
    PyObject* find(const Key& key) {
        const Slot& slot = slots_[slot_of(key)];
        ++probes_;
        if (slot.low == key.low && slot.high == key.high) {  // an empty slot's zeros match no key
            ++hits_;
            return slot.text;
        }
        if (probes_ == trial_probes && hits_ < trial_hits) {
            looking_ = false;
        }
        return nullptr;
    }

    void keep(const Key& key, PyObject* text) { slots_[slot_of(key)] = {key.low, key.high, text}; }

    static constexpr int slot_bits = 6;
    // It stops looking where fewer than a quarter of its first lookups found their str.
    static constexpr std::uint32_t trial_probes = 64;
    static constexpr std::uint32_t trial_hits = 16;

    struct Slot {
        std::uint64_t low;
        std::uint64_t high;
        PyObject* text;
    };

    static std::size_t slot_of(const Key& key) {
        std::uint64_t mixed = (key.low ^ (key.high * 0xC2B2AE3D27D4EB4FULL)) * 0x9E3779B97F4A7C15ULL;
        return static_cast<std::size_t>(mixed >> (64 - slot_bits));
    }

    bool looking_ = false;
    std::uint32_t probes_ = 0;
    std::uint32_t hits_ = 0;
    Slot slots_[std::size_t{1} << slot_bits];
};

}  // namespace zav
