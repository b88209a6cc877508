// The record readers: a dict from a map record and a list from a list record.
#include "serializer.h"
#include "list_items.h"
#include "repeat_cache.h"
#include "varnum.h"

#include <algorithm>
#include <cassert>
#include <cstring>

namespace zav {
namespace {

// raw_data as the module's `encode` (looked up now) turns it into bytes.
Ref record_bytes(PyObject* raw_data) {
    Ref encode =
        own_encode_bound() ? Ref::borrow(state.encode_function) : lookup_global(state.names.encode);
    if (!encode) {
        return {};
    }
    Ref data;
    if (encode.get() == state.encode_function) {
        // Our own encode, called without the detour through its binding.
        data = _encode(raw_data);
        if (!data) {
            add_traceback("encode");
        }
    } else {
        data = Ref::steal(PyObject_CallOneArg(encode.get(), raw_data));
    }
    if (data && data.get() != Py_None && !PyBytes_CheckExact(data.get())) {
        PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "bytes",
                     Py_TYPE(data.get())->tp_name);
        return {};
    }
    return data;
}

// The unread rest of a record, read in place.
struct Input {
    const unsigned char* buf = nullptr;
    std::size_t left = 0;

    bool open(PyObject* data) {
        char* start;
        Py_ssize_t size;
        if (PyBytes_CheckExact(data)) {
            start = PyBytes_AS_STRING(data);
            size = PyBytes_GET_SIZE(data);
        } else if (PyBytes_AsStringAndSize(data, &start, &size) < 0) {
            return false;  // its TypeError, for None
        }
        buf = reinterpret_cast<const unsigned char*>(start);
        left = static_cast<std::size_t>(size);
        return true;
    }

    std::uint64_t varnum(std::size_t& width) {
        if (left > 0 && buf[0] < 0x80) {  // the commonest: one byte
            width = 1;
            return buf[0];
        }
        if (left > 1 && buf[1] < 0x80) {  // two: texts of 128 bytes to 16 KiB
            width = 2;
            return std::uint64_t{buf[0] & 0x7Fu} << 7 | buf[1];
        }
        std::uint64_t value;
        width = _readvarnum(buf, left, &value);
        return value;
    }

    const char* take(std::size_t n) {
        const char* start = reinterpret_cast<const char*>(buf);
        buf += n;
        left -= n;
        return start;
    }
};

bool refuse(PyObject* message) {
    PyErr_SetObject(PyExc_ValueError, message);
    return false;
}

Ref bytes_of(const char* data, std::uint64_t size) {
    return Ref::steal(PyBytes_FromStringAndSize(data, static_cast<Py_ssize_t>(size)));
}

// Stands for a TextBatch where none is made: every text is decoded on its own.
struct NoBatch {
    int take(const char*, std::size_t, PyObject*&) { return 0; }
};

// A text of the record: made ahead by the batch, or decoded now.
template <class Batch>
Ref text_of(Batch& batch, const char* data, std::uint64_t size) {
    PyObject* text = nullptr;
    if (batch.take(data, size, text) == 0) {
        text = utf8::decode(data, static_cast<Py_ssize_t>(size));
    }
    if (text == nullptr) {
        add_traceback("_decode");
    }
    return Ref::steal(text);
}

// A key of the record: kept from an earlier record where it is short, else made as
// any text is. Short keys are never announced to the batch (MapReader::announce).
template <class Batch>
Ref key_of(Batch& batch, const char* data, std::uint64_t size) {
    if (!key_cache::holds(size)) {
        return text_of(batch, data, size);
    }
    key_cache::Probe probe(data, static_cast<std::size_t>(size));
    bool admit = false;
    if (PyObject* kept = probe.find(admit)) {
        return Ref::steal(kept);
    }
    NoBatch alone;  // short keys are never announced to the batch
    Ref text = text_of(alone, data, size);
    if (text && admit) {
        probe.keep(text.get());
    }
    return text;
}

enum class Overrun { none, key, value };

// Reads the two length prefixes of a pair and moves past them. The lengths are tested
// against what is left without adding them up, so that no declared length can wrap
// around; the key is measured before the value prefix is counted.
Overrun read_any_lengths(Input& in, std::uint64_t& knum, std::uint64_t& vnum) {
    std::size_t kstep;
    knum = in.varnum(kstep);
    if (knum > in.left - kstep) {
        return Overrun::key;
    }
    in.take(kstep);
    std::size_t vstep;
    vnum = in.varnum(vstep);
    std::size_t rest = in.left - vstep;
    if (knum > rest || vnum > rest - knum) {
        return Overrun::value;
    }
    in.take(vstep);
    return Overrun::none;
}

// The same where both lengths are of one byte, the commonest case, tested alike.
inline Overrun read_lengths(Input& in, std::uint64_t& knum, std::uint64_t& vnum) {
    const unsigned char* buf = in.buf;
    std::size_t left = in.left;
    if (left < 2 || buf[0] >= 0x80 || buf[1] >= 0x80) {
        return read_any_lengths(in, knum, vnum);
    }
    knum = buf[0];
    vnum = buf[1];
    if (knum > left - 1) {
        return Overrun::key;
    }
    if (knum > left - 2 || vnum > left - 2 - knum) {
        in.take(1);
        return Overrun::value;
    }
    in.take(2);
    return Overrun::none;
}

// Where one pair's key and value lie, and whether its value is decoded.
struct PairParts {
    const char* key;
    std::uint64_t key_size;
    const char* value;
    std::uint64_t value_size;
    bool decode_value;
};

// Reads the two length prefixes of a pair, moves past the pair and asks the truth of
// deserialize: false with the error of the part that overruns the record, or of the
// truth.
[[gnu::always_inline]] inline bool read_parts(Input& in, PyObject* deserialize, PairParts& parts) {
    switch (read_lengths(in, parts.key_size, parts.value_size)) {
    case Overrun::key:
        return refuse(state.texts.corrupt_key);
    case Overrun::value:
        return refuse(state.texts.corrupt_value);
    case Overrun::none:
        break;
    }
    parts.key = in.take(parts.key_size);
    parts.value = in.take(parts.value_size);
    int decode_value = is_true(deserialize);
    parts.decode_value = decode_value > 0;
    return decode_value >= 0;
}

// Reads one pair and stores it in accum.
template <class Batch>
bool read_pair(Input& in, PyObject* deserialize, PyObject* accum, Batch& batch) {
    PairParts parts;
    if (!read_parts(in, deserialize, parts)) {
        return false;
    }
    Ref value;
    Ref key;
    if (parts.decode_value) {
        // The value first, so that when both are malformed the error is the value's.
        value = text_of(batch, parts.value, parts.value_size);
        key = value ? key_of(batch, parts.key, parts.key_size) : Ref();
    } else {
        key = key_of(batch, parts.key, parts.key_size);
        value = key ? bytes_of(parts.value, parts.value_size) : Ref();
    }
    return key && value && PyDict_SetItem(accum, key.get(), value.get()) == 0;
}

// Reads one pair whose key is known already (it is a template's): its value alone.
template <class Batch>
bool read_value(Input& in, PyObject* deserialize, Batch& batch, Ref& value) {
    PairParts parts;
    if (!read_parts(in, deserialize, parts)) {
        return false;
    }
    value = parts.decode_value ? text_of(batch, parts.value, parts.value_size) : bytes_of(parts.value, parts.value_size);
    return static_cast<bool>(value);
}

// Reads one item: its length prefix and its payload, as text or bytes.
template <class Batch>
Ref read_item(Input& in, PyObject* deserialize, Batch& batch) {
    std::size_t step;
    std::uint64_t num = in.varnum(step);
    if (num > in.left - step) {
        refuse(state.texts.corrupt_item);
        return {};
    }
    in.take(step);
    const char* data = in.take(num);
    int decode = is_true(deserialize);
    if (decode < 0) {
        return {};
    }
    return decode ? text_of(batch, data, num) : bytes_of(data, num);
}

// Lists of codes, numbers and words are mostly items of a few dozen ASCII bytes at
// most behind a one-byte length. Such an item needs no UTF-8 validation and no count
// of its characters: its str is made straight from its bytes.
constexpr std::size_t short_item_size = 32;

// Whether 1 to short_item_size bytes are all ASCII: from 8 bytes on, four overlapping
// words within them, as copy_varied loads them.
inline bool short_ascii(const unsigned char* p, std::size_t n) {
    if (n < 8) {
        return (short_bytes_or(p, n) & 0x80808080U) == 0;
    }
    std::size_t last = n - 8;
    std::uint64_t words[4];
    std::memcpy(&words[0], p, 8);
    std::memcpy(&words[1], p + std::min<std::size_t>(8, last), 8);
    std::memcpy(&words[2], p + std::min<std::size_t>(16, last), 8);
    std::memcpy(&words[3], p + last, 8);
    return ((words[0] | words[1] | words[2] | words[3]) & 0x8080808080808080ULL) == 0;
}

// Whether the item at p, with left bytes from its length on, is short ASCII text
// behind a one-byte length.
inline bool short_text_at(const unsigned char* p, std::size_t left) {
    std::size_t size = left >= 2 ? p[0] : 0;
    return size - 1 <= short_item_size - 1 && size < left && short_ascii(p + 1, size);
}

// Reads short ASCII items into the room that items has, at most `most`, each str from
// make_text(p, left) for the item at p with `left` bytes from p on, and moves past
// them; false when making a str failed. The general path gives the same strs, and the
// same error where memory is short. The loop keeps its place in registers, as nothing
// it calls can see the input; a call of its own, as the reader's other loops crowd it.
template <class MakeText>
[[gnu::noinline]] bool read_short_run(Input& in, ListItems& items, Py_ssize_t most, MakeText make_text) {
    const unsigned char* p = in.buf;
    const unsigned char* end = p + in.left;
    PyObject** slots = items.free_slots();
    Py_ssize_t room = std::min(items.room(), most);
    Py_ssize_t i = 0;
    bool made = true;
    while (i < room && short_text_at(p, static_cast<std::size_t>(end - p))) {
        std::size_t size = p[0];
        PyObject* text = make_text(p, static_cast<std::size_t>(end - p));
        if (text == nullptr) {
            add_traceback("_decode");
            made = false;
            break;
        }
        slots[i++] = text;
        p += 1 + size;
    }
    in.take(static_cast<std::size_t>(p - in.buf));
    items.added(i);
    return made;
}

// The same where the repeat cache is looked in: an item it keeps a str for is taken
// from it before any other test (RepeatCache::kept), and only a miss is tested as
// read_short_run tests every item, its str made and kept. The hit is most items here.
// A loop of its own: with the lookup folded into read_short_run as a step the other
// runs skip, list loads took 1.06 to 1.09 times as long.
[[gnu::noinline]] bool read_repeated_run(Input& in, ListItems& items, Py_ssize_t most, RepeatCache& repeats) {
    const unsigned char* p = in.buf;
    const unsigned char* end = p + in.left;
    PyObject** slots = items.free_slots();
    Py_ssize_t room = std::min(items.room(), most);
    Py_ssize_t i = 0;
    bool made = true;
    while (i < room) {
        std::size_t left = static_cast<std::size_t>(end - p);
        PyObject* text = repeats.kept(p, left);
        if (text != nullptr) {
            Py_INCREF(text);
        } else if (!short_text_at(p, left)) {
            break;
        } else if ((text = repeats.made_at(p, left)) == nullptr) {
            add_traceback("_decode");
            made = false;
            break;
        }
        slots[i++] = text;
        p += 1 + p[0];
    }
    in.take(static_cast<std::size_t>(p - in.buf));
    items.added(i);
    return made;
}

// Reads the run of short ASCII items that starts here, as far as items has room (at
// most `most`), their strs made from their bytes, or taken from the repeat cache where
// it is looked in, or for "True" and "False" the interned ones where the list holds
// enough of them.
bool read_short_texts(Input& in, ListItems& items, Py_ssize_t most, RepeatCache& repeats) {
    if (repeats.looking()) {
        return read_repeated_run(in, items, most, repeats);
    }
    if (repeats.sharing_truths()) {
        return read_short_run(in, items, most, [](const unsigned char* p, std::size_t) {
            int truth = spelled_truth(p);
            return truth >= 0 ? Py_NewRef(state.texts.truths[truth])
                              : utf8::new_short_ascii(reinterpret_cast<const char*>(p + 1), p[0]);
        });
    }
    return read_short_run(in, items, most, [](const unsigned char* p, std::size_t) {
        return utf8::new_short_ascii(reinterpret_cast<const char*>(p + 1), p[0]);
    });
}

// Shows the repeat cache the first items of a list record that it wants, which have
// been read into items, for it to decide whether the reader takes strs from it for the
// rest. Where it does, it is given the strs made for the short ASCII ones among them.
void show_repeats(Input record, const ListItems& items, RepeatCache& repeats) {
    auto wanted = static_cast<int>(repeats.wanted());
    assert(items.size() >= wanted);
    auto skip_item = [](Input& in) {  // one read already: well formed
        std::size_t step;
        std::uint64_t num = in.varnum(step);
        in.take(step + num);
    };
    if (repeats.tried() == 0) {
        repeats.start();
    }
    Input in = record;
    for (int i = 0; i < wanted; ++i) {
        if (i >= repeats.tried()) {
            repeats.note(in.buf, in.left);
        }
        skip_item(in);
    }
    repeats.decide();
    in = record;
    for (Py_ssize_t i = 0; repeats.looking() && i < wanted; ++i) {
        if (short_text_at(in.buf, in.left)) {
            repeats.keep(in.buf, in.left, items[i]);
        }
        skip_item(in);
    }
}

// The number of pairs that a map record holds before its end or its first overrun,
// so that the result dict is made at its size at once. Where noting, the keys of a
// record of enough pairs and few enough are noted for the shape cache, if it is
// watching: records of fewer pairs never ask it.
Py_ssize_t count_pairs(Input in, bool noting, shape_cache::KeySequence& keys) {
    std::uint64_t knum;
    std::uint64_t vnum;
    auto next_key = [&]() -> const char* {  // null at the end or at an overrun
        if (in.left == 0 || read_lengths(in, knum, vnum) != Overrun::none) {
            return nullptr;
        }
        const char* key = in.take(knum);
        in.take(vnum);
        return key;
    };
    constexpr Py_ssize_t held = shape_cache::least_pairs - 1;  // noted once there are more
    const char* held_keys[held];
    std::uint64_t held_sizes[held];
    Py_ssize_t pairs = 0;
    const char* key = nullptr;
    while (pairs < held && (key = next_key()) != nullptr) {
        held_keys[pairs] = key;
        held_sizes[pairs] = knum;
        ++pairs;
    }
    if (pairs < held || (key = next_key()) == nullptr) {
        return pairs;
    }
    noting = noting && shape_cache::watching();
    for (Py_ssize_t i = 0; noting && i < held; ++i) {
        keys.add(held_keys[i], held_sizes[i]);
    }
    do {
        if (noting && pairs < shape_cache::most_pairs) {
            keys.add(key, knum);
        }
        ++pairs;
    } while ((key = next_key()) != nullptr);
    return pairs;
}

// The same for the items of a list record, counted up to `most`.
Py_ssize_t count_items(Input in, Py_ssize_t most = PY_SSIZE_T_MAX) {
    Py_ssize_t items = 0;
    std::size_t step;
    std::uint64_t num;
    while (items < most && in.left > 0 && (num = in.varnum(step)) <= in.left - step) {
        in.take(step + num);
        ++items;
    }
    return items;
}

// Whether asking the truth of deserialize runs no Python code.
bool has_plain_truth(PyObject* deserialize) {
    return deserialize == Py_True || deserialize == Py_False || deserialize == Py_None;
}

// Reads entries into accum until the record ends.
template <class Reader, class Batch>
bool read_entries(Reader& reader, Input& in, PyObject* deserialize, PyObject* accum, Batch& batch) {
    while (in.left > 0) {
        if (!reader.read(in, deserialize, accum, batch)) {
            return false;
        }
    }
    return true;
}

class MapReader {
public:
    // Whether a batch of its texts pays (TextBatch).
    bool batch_pays(const Input& in) const {
        return texts_ >= utf8::TextBatch::least_short_texts(in.left) &&
               utf8::TextBatch::has_enough_non_ascii(reinterpret_cast<const char*>(in.buf), in.left);
    }

    // A record whose keys are those of a template that the shape cache keeps is made
    // from it, its values read into an array first; any other into a presized dict,
    // pair by pair. Not where asking the truth of deserialize runs Python code.
    bool make(const Input& in, PyObject*, bool plain_truth, Ref& accum) {
        Py_ssize_t pairs = count_pairs(in, plain_truth, keys_);
        texts_ = 2 * pairs;
        shaped_ = shape_cache::takes(pairs) && keys_.count() == pairs;
        if (shaped_) {
            template_ = shape_cache::Template(keys_);
            if (template_ && !keys_match(in, template_)) {
                template_ = shape_cache::Template();
            }
        }
        if (!template_) {
            accum = Ref::steal(_PyDict_NewPresized(pairs));
        }
        return template_ || accum;
    }

    // The texts in the order read_pair decodes them: each value before its key. Short
    // keys come from the key cache or are decoded alone, never from the batch: a key
    // found in the cache would leave the batch a text that no one asks for. (A
    // template's keys are all short.)
    static void announce(Input in, bool values, utf8::TextBatch& batch) {
        std::uint64_t knum;
        std::uint64_t vnum;
        while (in.left > 0 && read_lengths(in, knum, vnum) == Overrun::none) {
            const char* key = in.take(knum);
            const char* value = in.take(vnum);
            if ((values && !batch.announce(value, vnum)) ||
                (!key_cache::holds(knum) && !batch.announce(key, knum))) {
                return;
            }
        }
    }

    template <class Batch>
    bool read(Input& in, PyObject* deserialize, PyObject* accum, Batch& batch) {
        return read_pair(in, deserialize, accum, batch);
    }

    template <class Batch>
    bool read_all(Input& in, PyObject* deserialize, Ref& accum, Batch& batch) {
        if (template_) {
            return read_values(in, deserialize, accum, batch);
        }
        if (!read_entries(*this, in, deserialize, accum.get(), batch)) {
            return false;
        }
        if (shaped_ && keys_.count() == PyDict_GET_SIZE(accum.get())) {
            shape_cache::consider(keys_, accum.get());
        }
        return true;
    }

private:
    // Whether the record's keys are the template's, in its order (their number is).
    static bool keys_match(Input in, shape_cache::Template& shape) {
        std::uint64_t knum;
        std::uint64_t vnum;
        while (in.left > 0 && read_lengths(in, knum, vnum) == Overrun::none) {
            if (!shape.next_key_is(in.take(knum), knum)) {
                return false;
            }
            in.take(vnum);
        }
        return true;
    }

    // The values of a record of the template's keys, then its dict. The errors are
    // those read_pair would raise: its keys cannot fail.
    template <class Batch>
    bool read_values(Input& in, PyObject* deserialize, Ref& accum, Batch& batch) {
        RefRun<shape_cache::most_pairs> values;
        while (in.left > 0) {
            if (values.full()) {  // make() counted every pair there is
                return refuse(state.texts.corrupt_key);
            }
            if (!read_value(in, deserialize, batch, values.add())) {
                return false;
            }
        }
        accum = template_.filled(values.data(), static_cast<Py_ssize_t>(values.size()));
        return static_cast<bool>(accum);
    }

    Py_ssize_t texts_ = 0;  // as many as the reader will make, or more
    bool shaped_ = false;  // a record the shape cache may make: few pairs, plain truth
    shape_cache::KeySequence keys_;
    shape_cache::Template template_;
};

class ListReader {
public:
    // Whether a batch of its texts pays (TextBatch): its items are counted only as far
    // as that needs.
    bool batch_pays(const Input& in) const {
        Py_ssize_t least = utf8::TextBatch::least_short_texts(in.left);
        return short_texts_ && count_items(in, least) >= least &&
               utf8::TextBatch::has_enough_non_ascii(reinterpret_cast<const char*>(in.buf), in.left);
    }

    // The list is made at its size at once where asking the truth of deserialize runs
    // no Python code: then no one can see it before every item is in place. A list of
    // text is made from its items at the end (ListItems), any other after a count.
    bool make(const Input& in, PyObject* deserialize, bool plain_truth, Ref& accum) {
        presized_ = plain_truth;
        short_texts_ = deserialize == Py_True;
        if (short_texts_) {
            return true;
        }
        accum = Ref::steal(PyList_New(presized_ ? count_items(in) : 0));
        return static_cast<bool>(accum);
    }

    static void announce(Input in, bool items, utf8::TextBatch& batch) {
        std::size_t step;
        std::uint64_t num;
        while (items && in.left > 0 && (num = in.varnum(step)) <= in.left - step) {
            in.take(step);
            if (!batch.announce(in.take(num), num)) {
                return;
            }
        }
    }

    template <class Batch>
    bool read_all(Input& in, PyObject* deserialize, Ref& accum, Batch& batch) {
        return short_texts_ ? read_texts(in, accum, batch)
                            : read_entries(*this, in, deserialize, accum.get(), batch);
    }

    template <class Batch>
    bool read(Input& in, PyObject* deserialize, PyObject* accum, Batch& batch) {
        Ref item = read_item(in, deserialize, batch);
        if (!item) {
            return false;
        }
        if (!presized_) {
            return PyList_Append(accum, item.get()) == 0;
        }
        assert(next_ < PyList_GET_SIZE(accum));
        PyList_SET_ITEM(accum, next_++, item.release());
        return true;
    }

private:
    // The list of the items of a list of text. Runs of short ASCII items are read in a
    // loop of their own; they are never announced to the batch (TextBatch::announce),
    // so taking them there keeps it in step.
    template <class Batch>
    bool read_texts(Input& in, Ref& accum, Batch& batch) {
        ListItems items;
        const Input record = in;
        const unsigned char* start = in.buf;
        while (in.left > 0) {
            if (items.size() >= repeats_.wanted()) {
                show_repeats(record, items, repeats_);
            }
            if (!items.make_room(static_cast<std::size_t>(in.buf - start), in.left)) {
                return false;
            }
            if (short_text_at(in.buf, in.left)) {
                Py_ssize_t most = repeats_.wanted() - items.size();  // then shown to the cache
                if (!read_short_texts(in, items, most, repeats_)) {
                    return false;
                }
                continue;
            }
            std::size_t step;
            std::uint64_t num = in.varnum(step);
            if (num > in.left - step) {
                return refuse(state.texts.corrupt_item);
            }
            in.take(step);
            Ref text = text_of(batch, in.take(num), num);
            if (!text) {
                return false;
            }
            items.add(text.release());
        }
        accum = items.list();
        return static_cast<bool>(accum);
    }

    bool presized_ = false;
    bool short_texts_ = false;  // read into ListItems: deserialize is True
    Py_ssize_t next_ = 0;
    RepeatCache repeats_;
};

template <class Reader>
PyObject* read_record(PyObject* raw_data, PyObject* deserialize) {
    Ref data = record_bytes(raw_data);
    if (!data) {
        return nullptr;
    }
    Input in;
    if (!in.open(data.get())) {
        return nullptr;  // None has no bytes view
    }
    bool plain_truth = has_plain_truth(deserialize);
    Reader reader;
    Ref accum;
    if (!reader.make(in, deserialize, plain_truth, accum)) {
        return nullptr;
    }
    // Texts are decoded ahead where the truth of deserialize needs no Python code.
    bool read;
    if (plain_truth && reader.batch_pays(in)) {
        utf8::TextBatch batch;
        Reader::announce(in, deserialize == Py_True, batch);
        read = reader.read_all(in, deserialize, accum, batch);
    } else {
        NoBatch none;
        read = reader.read_all(in, deserialize, accum, none);
    }
    return read ? accum.release() : nullptr;
}

}  // namespace

PyObject* deserialize_dict_body(PyObject* const* args) {
    return read_record<MapReader>(args[0], args[1]);
}

PyObject* deserialize_list_body(PyObject* const* args) {
    return read_record<ListReader>(args[0], args[1]);
}

}  // namespace zav
