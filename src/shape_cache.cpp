// The cache of record shapes: a fixed table of slots, each holding the dict of one
// sequence of keys with None for its values (its template). A map record whose keys'
// bytes are those of a kept template, in its order, is made by PyDict_Copy of the
// template, which copies the table whole, with its values put in place: no key is
// made or looked up, where each pair inserted would cost some 170 instructions and
// each key a lookup in the key cache, most of a short record's reading. A slot is
// chosen by a hash of the keys' bytes; a sequence takes a slot over when records of
// it are made pair by pair there twice running, so that records of keys of their own
// never build a template.
//
// Records of keys of their own (a number or a date in every key) find no template and
// make none, yet noting and hashing their keys costs some 25 instructions a pair, 4% of
// reading such a record. So after rest_after such records running the cache rests: it
// looks at one record in probe_period only, until one finds a template or the keys
// that came last in its slot, within the last `recent` records (records that come back
// only after hundreds of others do not wake it).
//
// A template holds its keys alive: only ASCII keys that the key cache would keep (a
// few dozen bytes at most) are taken, so the memory held stays small and bounded.
#include "serializer.h"

#include <atomic>
#include <cstdint>
#include <cstring>

namespace zav::shape_cache {

namespace {

constexpr int slot_bits = 6;  // 64 schemas
constexpr std::size_t slot_count = std::size_t{1} << slot_bits;

struct Slot {
    PyObject* shape = nullptr;    // the template, or null
    std::uint64_t hash = 0;       // of its keys
    std::uint64_t candidate = 0;  // of the keys last made pair by pair here
    std::uint32_t candidate_at = 0;  // the count of futile records when they came
    SlotMutex mutex;
};

Slot slots[slot_count];
bool usable = false;

constexpr std::uint32_t rest_after = 64;
constexpr std::uint32_t probe_period = 16;
constexpr std::uint32_t recent = 128;
// Records running that found neither a template nor a repeat; once resting, every
// record. Threads share it without a lock: a lost update only moves a look by a record
// or two.
std::atomic<std::uint32_t> futile;

void note_futile() {
    std::uint32_t n = futile.load(std::memory_order_relaxed);
    if (n < rest_after) {  // once resting, watching() counts
        futile.store(n + 1, std::memory_order_relaxed);
    }
}

void note_useful() {
    if (futile.load(std::memory_order_relaxed) != 0) {  // no store on every record
        futile.store(0, std::memory_order_relaxed);
    }
}

Slot& slot_of(std::uint64_t hash) { return slots[hash >> (64 - slot_bits)]; }

// Whether size bytes at a and b are equal, for the sizes of a template's keys (at
// most key_cache::max_size): in overlapping words, without a call.
bool same_short_bytes(const char* a, const char* b, std::size_t size) {
    static_assert(key_cache::max_size <= 32);
    if (size >= 8) {
        std::uint64_t differ = (word64(a) ^ word64(b)) | (word64(a + size - 8) ^ word64(b + size - 8));
        if (size > 16) {
            differ |= (word64(a + 8) ^ word64(b + 8)) | (word64(a + size - 16) ^ word64(b + size - 16));
        }
        return differ == 0;
    }
    return key_word(a, size) == key_word(b, size);  // which holds every byte below eight
}

// Whether a template's key (an ASCII str of at most key_cache::max_size characters) is
// the str of these bytes.
bool is_key(PyObject* key, const char* data, std::size_t size) {
    return static_cast<std::size_t>(PyUnicode_GET_LENGTH(key)) == size &&
           same_short_bytes(static_cast<const char*>(PyUnicode_DATA(key)), data, size);
}

// The template of the keys of d, each None; null with an exception set on failure.
// Grown as inserted, not presized: PyDict_Copy copies a table whole only where it is
// not mostly empty.
Ref template_of(PyObject* d) {
    Ref shape = Ref::steal(PyDict_New());
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* value;
    while (shape && PyDict_Next(d, &pos, &key, &value)) {
        if (PyDict_SetItem(shape.get(), key, Py_None) < 0) {
            shape = Ref();
        }
    }
    return shape;
}

// Whether a template of d's keys would hold little: ASCII keys that the key cache
// would keep, whose bytes are their characters.
bool small_keys(PyObject* d) {
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(d, &pos, &key, &value)) {
        if (!PyUnicode_CheckExact(key) || !PyUnicode_IS_ASCII(key) ||
            !key_cache::holds(static_cast<std::size_t>(PyUnicode_GET_LENGTH(key)))) {
            return false;
        }
    }
    return true;
}

// The copy with values[i] put in place of its i-th None by the dict's own insertion,
// where its table is not in the layout DictEntries reads.
Ref filled_by_insertion(Ref copy, Ref* values, Py_ssize_t n) {
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* value;
    for (Py_ssize_t i = 0; i < n && PyDict_Next(copy.get(), &pos, &key, &value); ++i) {
        if (PyDict_SetItem(copy.get(), key, values[i].get()) < 0) {
            return {};
        }
    }
    return copy;
}

}  // namespace

bool watching() {
    std::uint32_t n = futile.load(std::memory_order_relaxed);
    if (n < rest_after) {
        return true;
    }
    futile.store(n + 1, std::memory_order_relaxed);
    return n % probe_period == 0;
}

Template::Template(const KeySequence& keys) {
    if (!usable || !takes(keys.count())) {
        return;
    }
    Slot& slot = slot_of(keys.hash());
    SlotLock lock(slot.mutex);
    if (slot.shape != nullptr && slot.hash == keys.hash() && PyDict_GET_SIZE(slot.shape) == keys.count()) {
        shape_ = Ref::borrow(slot.shape);
        entries_ = DictEntries(shape_.get());
    }
}

bool Template::next_key_is(const char* data, std::size_t size) {
    PyObject* key;
    PyObject* value;
    return entries_.next(key, value) && is_key(key, data, size);
}

// The copy is new and no one else has seen it, so its values may be written in place,
// in the table's layout that DictEntries reads (checked at import: check()).
Ref Template::filled(Ref* values, Py_ssize_t n) const {
    note_useful();
    Ref copy = Ref::steal(PyDict_Copy(shape_.get()));
    if (!copy) {
        return {};
    }
    DictEntries entries(copy.get());
    if (!entries || entries.slots() != n) {
        return filled_by_insertion(std::move(copy), values, n);
    }
    PyObject* key;
    PyObject* value;
    for (Py_ssize_t i = 0; i < n && entries.next(key, value); ++i) {
        // A value that the collector follows makes the dict one it follows, as an
        // insertion would.
        if (PyType_IS_GC(Py_TYPE(values[i].get())) && !PyObject_GC_IsTracked(copy.get())) {
            PyObject_GC_Track(copy.get());
        }
        *entries.last_value_place() = values[i].release();
        Py_DECREF(value);  // None
    }
    return copy;
}

void consider(const KeySequence& keys, PyObject* d) {
    if (!usable || !takes(keys.count()) || PyDict_GET_SIZE(d) != keys.count()) {
        return;  // keys that repeat make no template
    }
    Slot& slot = slot_of(keys.hash());
    std::uint32_t now = futile.load(std::memory_order_relaxed);
    {
        SlotLock lock(slot.mutex);
        bool again = slot.candidate == keys.hash() && (now < rest_after || now - slot.candidate_at <= recent);
        slot.candidate = keys.hash();
        slot.candidate_at = now;
        if (!again) {
            note_futile();
            return;
        }
    }
    if (!small_keys(d)) {
        note_futile();  // such keys are never kept
        return;
    }
    note_useful();
    Ref shape = template_of(d);  // with no lock held: it may run the collector
    if (!shape) {
        PyErr_Clear();  // the slot stays as it was
        return;
    }
    Ref evicted;
    {
        SlotLock lock(slot.mutex);
        evicted = Ref::steal(slot.shape);
        slot.shape = shape.release();
        slot.hash = keys.hash();
    }
    // The template the slot held is released once the lock is, as a release may free it.
}

bool check() {
    usable = false;
    if (!state.dict_entries_readable) {
        return true;
    }
    Ref d = Ref::steal(PyDict_New());
    Ref values[least_pairs];
    for (Py_ssize_t i = 0; d && i < least_pairs; ++i) {
        Ref key = Ref::steal(PyUnicode_FromFormat("key%zd", i));
        values[i] = Ref::steal(PyLong_FromSsize_t(1000 + i));
        if (!key || !values[i] || PyDict_SetItem(d.get(), key.get(), values[i].get()) < 0) {
            return false;
        }
    }
    Ref shape = d ? template_of(d.get()) : Ref();
    if (!shape) {
        return false;
    }
    Template kept;
    kept.shape_ = Ref::borrow(shape.get());
    Ref moved[least_pairs];
    for (Py_ssize_t i = 0; i < least_pairs; ++i) {
        moved[i] = Ref::borrow(values[i].get());
    }
    Ref copy = kept.filled(moved, least_pairs);
    if (!copy) {
        return false;
    }
    // The copy reads as the dict it was made from, and the template is left as it was.
    int equal = PyObject_RichCompareBool(copy.get(), d.get(), Py_EQ);
    if (equal < 0) {
        return false;
    }
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* value;
    bool untouched = true;
    while (PyDict_Next(shape.get(), &pos, &key, &value)) {
        untouched &= value == Py_None;
    }
    usable = equal == 1 && untouched && PyDict_GET_SIZE(copy.get()) == least_pairs;
    return true;
}

}  // namespace zav::shape_cache
