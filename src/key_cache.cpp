// The cache of map keys: a fixed table of slots, each holding the bytes of one short key
// and a strong reference to its str. A slot is chosen by a hash of the bytes; a key
// whose slot holds other bytes takes the slot over when it misses there twice in a
// short while (Probe::find). The table never grows, so the memory it holds is bounded
// whatever the records: slot_count strs of max_size bytes at most.
//
// With the GIL, nothing in find or keep lets another thread in. Without it, each slot
// has a lock of its own, held only to compare or swap the slot's contents and to take a
// strong reference to its str: no Python code runs and nothing is freed while it is
// held, and no two are ever held at once.
#include "serializer.h"

#include <atomic>
#include <cstring>

namespace zav::key_cache {

// 4,096 slots of one cache line: a dict of 1,000 keys mostly finds its keys, and the
// table stays within the processor's second-level cache (measured against 1,024 and
// 2,048: misses cost the same, hits are fewer).
constexpr int slot_bits = 12;
constexpr std::size_t slot_count = std::size_t{1} << slot_bits;

struct alignas(64) Slot {
    PyObject* text;         // the kept str, or null
    std::uint32_t missed;   // the tag of the key that last missed here, or 0
    std::uint16_t missed_in;  // the period of the miss clock in which it missed
    std::uint8_t size;      // the size of the kept str's bytes
    SlotMutex mutex;
    unsigned char bytes[max_size];
};
static_assert(sizeof(Slot) == 64 && max_size <= 32);  // Words covers 32 bytes at most

namespace {

Slot slots[slot_count];

// Counts the misses, in periods of miss_period: a key takes a slot over only if it
// missed there in this period or the last. Keys that come back only after thousands of
// others, as when every record has keys of its own, never take a slot over: keeping
// them would cost a str kept alive and one freed long after it was made, for no hit.
// Without the GIL the count is shared by the threads, and its increments may be lost.
constexpr int miss_period_bits = 10;
#ifdef Py_GIL_DISABLED
std::atomic<std::uint32_t> misses;
std::uint16_t miss_period() {
    return static_cast<std::uint16_t>(misses.fetch_add(1, std::memory_order_relaxed) >> miss_period_bits);
}
#else
std::uint32_t misses;
std::uint16_t miss_period() { return static_cast<std::uint16_t>(misses++ >> miss_period_bits); }
#endif

std::uint64_t load64(const void* p) {
    std::uint64_t word;
    std::memcpy(&word, p, 8);
    return word;
}

std::uint32_t load32(const void* p) {
    std::uint32_t word;
    std::memcpy(&word, p, 4);
    return word;
}

// Words that cover a key's bytes between them, overlapping where the size is not a
// multiple of their width: four for 16 to max_size bytes, two for 8 to 15, and for
// fewer, two halves or the first, middle and last byte. Equal sizes and equal words
// mean equal bytes.
struct Words {
    std::uint64_t w[4] = {};

    Words(const unsigned char* p, std::size_t size) {
        if (size >= 16) {
            w[0] = load64(p);
            w[1] = load64(p + 8);
            w[2] = load64(p + size - 16);
            w[3] = load64(p + size - 8);
        } else if (size >= 8) {
            w[0] = load64(p);
            w[1] = load64(p + size - 8);
        } else if (size >= 4) {
            w[0] = load32(p) | std::uint64_t{load32(p + size - 4)} << 32;
        } else {
            w[0] = p[0] | std::uint64_t{p[size / 2]} << 8 | std::uint64_t{p[size - 1]} << 16;
        }
    }

    bool operator==(const Words& other) const {
        return ((w[0] ^ other.w[0]) | (w[1] ^ other.w[1]) | (w[2] ^ other.w[2]) | (w[3] ^ other.w[3])) == 0;
    }

    // Each pair of words is multiplied out in full and the halves of the product folded
    // together, which spreads every bit of the words over the result; the size is
    // added apart, so that no difference in the bytes can cancel one in the size.
    std::uint64_t hash(std::size_t size) const {
        return fold(w[0] ^ 0x9E3779B97F4A7C15ULL, w[1] ^ 0xC2B2AE3D27D4EB4FULL) +
               fold(w[2] ^ 0x165667B19E3779F9ULL, w[3] ^ 0x27D4EB2F165667C5ULL) + size * 0xD6E8FEB86659FD93ULL;
    }

private:
    static std::uint64_t fold(std::uint64_t a, std::uint64_t b) {
        __extension__ using Wide = unsigned __int128;  // a GCC and Clang type on 64-bit targets
        Wide product = static_cast<Wide>(a) * b;
        return static_cast<std::uint64_t>(product) ^ static_cast<std::uint64_t>(product >> 64);
    }
};

}  // namespace

Probe::Probe(const char* data, std::size_t size) : data_(data), size_(size) {
    std::uint64_t hash = Words(reinterpret_cast<const unsigned char*>(data), size).hash(size);
    slot_ = &slots[hash >> (64 - slot_bits)];
    tag_ = static_cast<std::uint32_t>(hash) | 1;
}

bool Probe::matches() const {
    const Slot& slot = *slot_;
    return slot.text != nullptr && slot.size == size_ &&
           Words(reinterpret_cast<const unsigned char*>(data_), size_) == Words(slot.bytes, size_);
}

// A key takes over a slot that holds another only when it misses there twice in a row,
// and soon: keys seen once (as in records that each have keys of their own) pass by,
// costing a look at the slot and no more, and leave the keys that come again where
// they are.
PyObject* Probe::find(bool& admit) const {
    SlotLock lock(slot_->mutex);
    if (matches()) {
        return Py_NewRef(slot_->text);
    }
    std::uint16_t now = miss_period();
    admit = slot_->text == nullptr ||
            (slot_->missed == tag_ && static_cast<std::uint16_t>(now - slot_->missed_in) <= 1);
    slot_->missed = tag_;
    slot_->missed_in = now;
    return nullptr;
}

void Probe::keep(PyObject* text) const {
    Ref evicted;
    {
        SlotLock lock(slot_->mutex);
        evicted = Ref::steal(slot_->text);
        slot_->text = Py_NewRef(text);
        slot_->missed = 0;
        slot_->size = static_cast<std::uint8_t>(size_);
        copy_short(slot_->bytes, data_, size_);  // inline: GCC may make memcpy a rep movsb here
    }
    // The str the slot held is released once the lock is, as a release may free it.
}

}  // namespace zav::key_cache
