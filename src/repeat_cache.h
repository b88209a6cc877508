// The strs that one call of the list reader made for its short items, so that an item
// that comes again gets the same str. Lists often repeat a few values (codes, flags,
// small numbers), and a str made again costs an allocation and later its release,
// several times what finding it here costs. The table is the call's own, on the stack:
// it holds borrowed references to strs among the items read (ListItems), which keep
// them alive to the end of the call, and no other thread sees it. It is looked in only
// where the first items of the list come again often enough among them.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "serializer.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

namespace zav {

// The index in state.texts.truths of the short item at p (its one-byte length, then
// its bytes): 0 for "False", 1 for "True", -1 for any other.
inline int spelled_truth(const unsigned char* p) {
    if (p[0] != 4 && p[0] != 5) {
        return -1;
    }
    bool truth = p[0] == 4;
    std::uint32_t word;
    std::memcpy(&word, p + 1, 4);
    std::uint32_t spelled;
    std::memcpy(&spelled, truth ? "True" : "Fals", 4);
    return word == spelled && (truth || p[5] == 'e') ? truth : -1;
}

class RepeatCache {
public:
    // The items it is shown before it decides (a list of fewer seldom repeats enough to
    // pay for clearing the table), and how many of them must have come before among
    // them: a miss costs about a third of what a hit saves (the str's making and, later,
    // its release), and a list whose items come again a quarter of the time (bools among
    // ints, floats and words) read 1.09 times as slow through it.
    static constexpr int trial_items = 64;
    static constexpr int least_repeats = 24;
    // Half way through, a list that has come to that rate already is looked in at once,
    // and one that has come to less than half of it (distinct items, mostly) is not.
    static constexpr int half_trial_items = trial_items / 2;
    static constexpr int half_trial_repeats = least_repeats / 4;

    // The reader shows it a list's first items once it has read them: half the trial,
    // then the rest where that leaves the decision open. A shorter list never pays for
    // a look at them; the items read before it is looked in are made as they come.
    Py_ssize_t wanted() const { return wanted_; }
    int tried() const { return tried_; }

    // Ready to be shown the first items, by note(), before decide().
    void start() { std::memset(noted_, 0, sizeof noted_); }

    // Notes the item at p (its length, then its bytes), with `left` bytes from p on, by
    // its key's hash alone: the table of strs is cleared only if it is to be used.
    void note(const unsigned char* p, std::size_t left) {
        ++tried_;
        truths_ += spelled_truth(p) >= 0;
        if (!takes(p, left)) {
            return;
        }
        std::uint64_t hash = hash_of(key_of(p));
        std::uint64_t& noted = noted_[hash >> (64 - noted_bits)];
        repeats_ += noted == hash;  // two keys of one hash, or a hash of 0, only sway the decision
        noted = hash;
    }

    // Decides on the items noted so far (the wanted ones), or leaves the decision to
    // the rest of the trial.
    void decide() {
        bool half = tried_ == half_trial_items;
        if (half && repeats_ >= half_trial_repeats && repeats_ < least_repeats / 2) {
            wanted_ = trial_items;
            return;
        }
        wanted_ = never;
        looking_ = repeats_ >= (half ? least_repeats / 2 : least_repeats);
        if (looking_) {
            std::memset(slots_, 0, sizeof slots_);
        }
        sharing_truths_ = !looking_ && truths_ > 0 && truths_ * truths_share >= tried_;
    }

    // Whether the reader should take its strs from here.
    bool looking() const { return looking_; }

    // Whether the reader should hand out the interned strs of "True" and "False" (where
    // it does not look here): the items tried held enough of them to pay for asking
    // every item of four or five bytes, which a list of words or digits would not.
    bool sharing_truths() const { return sharing_truths_; }

    // The str kept for the item at p, with `left` bytes from p on, borrowed; null where
    // none is. Asked before the item is known to be text at all: a kept str was made
    // from the same bytes, which were short ASCII text then and so are now, and the item
    // of at most 15 bytes lies within the 16 bytes read.
    PyObject* kept(const unsigned char* p, std::size_t left) const {
        if (left < 16 || p[0] - 1U > 14U) {  // an empty item's key would match an empty slot
            return nullptr;
        }
        Key key = key_of(p);
        const Slot& slot = slots_[slot_of(key)];
        return slot.low == key.low && slot.high == key.high ? slot.text : nullptr;
    }

    // A new reference to a new str of the short ASCII item at p (its one-byte length,
    // then its bytes, at least one), with `left` bytes from p on, kept where kept() can
    // find it: where the item has at most 15 bytes and its two words can be read whole
    // within the record; null with MemoryError.
    PyObject* made_at(const unsigned char* p, std::size_t left) {
        PyObject* text = utf8::new_short_ascii(reinterpret_cast<const char*>(p + 1), p[0]);
        if (text != nullptr) {
            keep(p, left, text);
        }
        return text;
    }

    // Keeps text, the str made for the short ASCII item at p (at least one byte), where
    // kept() can find it; a borrowed reference that the items read keep alive.
    void keep(const unsigned char* p, std::size_t left, PyObject* text) {
        if (takes(p, left)) {
            Key key = key_of(p);
            slots_[slot_of(key)] = {key.low, key.high, text};
        }
    }

private:
    // An item as the table knows it: its one-byte length and its bytes, in two words.
    struct Key {
        std::uint64_t low;
        std::uint64_t high;
    };

    // A key and the str made for it.
    struct Slot {
        std::uint64_t low;
        std::uint64_t high;
        PyObject* text;
    };

    static bool takes(const unsigned char* p, std::size_t left) { return p[0] < 16 && left >= 16; }

    // The key of the item at p, of at most 15 bytes: its length and bytes, the bytes
    // after them masked off.
    static Key key_of(const unsigned char* p) {
        const Key& mask = key_masks[p[0]];
        Key key;
        std::memcpy(&key.low, p, 8);
        std::memcpy(&key.high, p + 8, 8);
        key.low &= mask.low;
        key.high &= mask.high;
        return key;
    }

    // For each length of item, the masks of the two words that keep its length byte and
    // its bytes: a load costs fewer instructions than shifts by the length.
    static constexpr std::array<Key, 16> key_masks = [] {
        std::array<Key, 16> masks{};
        for (int n = 1; n <= 16; ++n) {  // the bytes a key of an item of n - 1 bytes keeps
            masks[n - 1].low = ~std::uint64_t{0} >> (8 * (8 - std::min(n, 8)));
            masks[n - 1].high = n > 8 ? ~std::uint64_t{0} >> (8 * (16 - n)) : 0;
        }
        return masks;
    }();

    static std::uint64_t hash_of(const Key& key) {
        return (key.low ^ (key.high * 0xC2B2AE3D27D4EB4FULL)) * 0x9E3779B97F4A7C15ULL;
    }

    static std::size_t slot_of(const Key& key) { return static_cast<std::size_t>(hash_of(key) >> (64 - slot_bits)); }

    // 128 slots: the 30 codes of a list of currency and country codes mostly keep
    // theirs (with 64, three times as many missed).
    static constexpr int slot_bits = 7;
    static constexpr int noted_bits = 7;

    // One item in eight, among those tried, spelling a bool.
    static constexpr int truths_share = 8;

    static constexpr Py_ssize_t never = PY_SSIZE_T_MAX;

    Py_ssize_t wanted_ = half_trial_items;
    bool looking_ = false;
    bool sharing_truths_ = false;
    int repeats_ = 0;
    int truths_ = 0;
    int tried_ = 0;
    std::uint64_t noted_[std::size_t{1} << noted_bits];  // the hashes of the keys noted
    Slot slots_[std::size_t{1} << slot_bits];
};

}  // namespace zav
