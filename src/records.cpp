// The record formats: varnums, the map record and the list record.
//
// The writers produce their records through io.BytesIO, as callers may bind a stand-in
// `io` that sees every write. When the stream class is the standard BytesIO, whose
// write and getvalue run no Python code, the record is built in a native buffer
// instead: the bytes, the calls into Python objects and the errors are the same.
#include "serializer.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <type_traits>

namespace zav {

// ---------------------------------------------------------------------------
// Varnums

// Widths 5 to 8 are decided against the interpreter integers 2**35 ... 2**56.
int wide_varnum_width(std::uint64_t num) {
    for (int i = 0; i < 4; ++i) {
        Ref value = Ref::steal(PyLong_FromUnsignedLongLong(num));
        if (!value) {
            return -1;
        }
        Ref below = Ref::steal(PyObject_RichCompare(value.get(), state.varnum_bounds[i], Py_LT));
        int truth = below ? is_true(below.get()) : -1;
        if (truth != 0) {
            if (truth < 0) {
                add_traceback("_writevarnum");
            }
            return truth < 0 ? -1 : 5 + i;
        }
    }
    return 0;
}

std::size_t _readvarnum(const unsigned char* buf, std::size_t size, std::uint64_t* np) {
    std::uint64_t value = 0;
    std::size_t pos = 0;
    while (pos < size) {
        unsigned char c = buf[pos++];
        value = (value << 7) + (c & 0x7F);
        if (c < 0x80) {
            break;
        }
    }
    *np = value;
    return pos;
}

namespace {

// A record never leaves out a length: one too large for a varnum is an error.
int write_length(unsigned char* buf, Py_ssize_t length) {
    int width = _writevarnum(buf, static_cast<std::uint64_t>(length));
    if (width == 0) {
        PyErr_SetString(PyExc_OverflowError, "byte string too long for a record");
    }
    return width;
}

// The width _writevarnum gives a length, without asking the interpreter; for sizing.
int varnum_width(Py_ssize_t length) {
    int bits = std::bit_width(static_cast<std::uint64_t>(length));
    return bits <= 7 ? 1 : std::min(max_varnum_width, (bits + 6) / 7);
}

// ---------------------------------------------------------------------------
// Writers

// One key, value or item as _encode gives it, with its byte length. On the native
// path an ASCII str stays a str and its characters go straight into the record.
struct Payload {
    Ref obj;
    const char* data = nullptr;
    Py_ssize_t size = 0;
    bool text = false;

    explicit operator bool() const { return bool(obj); }

    // Takes the length; fails as the bytes view of a non-bytes object would.
    bool measure() {
        if (text) {
            return true;
        }
        char* start;
        if (PyBytes_AsStringAndSize(obj.get(), &start, &size) < 0) {
            return false;
        }
        data = start;
        return true;
    }
};

// Writes to a stream object through its Python-level write and getvalue methods.
class StreamSink {
public:
    bool open(PyObject* stream_class) {
        stream_ = Ref::steal(PyObject_CallNoArgs(stream_class));
        return bool(stream_);
    }

    // A stream's write may run any code, so every value is looked up again.
    bool plan_dict(PyObject*, bool& values_known) {
        values_known = false;
        return true;
    }
    bool plan_list(PyObject*, Py_ssize_t) { return true; }

    static Payload encode(PyObject* obj) { return Payload{_encode(obj)}; }

    bool put_pair(const Payload& key, const Payload& value) {
        unsigned char knumbuf[max_varnum_width];
        unsigned char vnumbuf[max_varnum_width];
        int knbytes = write_length(knumbuf, key.size);
        if (knbytes <= 0) {
            return false;
        }
        int vnbytes = write_length(vnumbuf, value.size);
        return vnbytes > 0 && write_prefix(knumbuf, knbytes) && write_prefix(vnumbuf, vnbytes) &&
               write(key.obj.get()) && write(value.obj.get());
    }

    bool put_item(const Payload& item) {
        unsigned char numbuf[max_varnum_width];
        int nbytes = write_length(numbuf, item.size);
        return nbytes > 0 && write_prefix(numbuf, nbytes) && write(item.obj.get());
    }

    PyObject* finish() {
        PyObject* args[] = {stream_.get()};
        return PyObject_VectorcallMethod(state.names.getvalue, args,
                                         1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    }

private:
    bool write(PyObject* obj) {
        PyObject* args[] = {stream_.get(), obj};
        return bool(Ref::steal(PyObject_VectorcallMethod(
            state.names.write, args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr)));
    }

    bool write_prefix(const unsigned char* buf, int n) {
        Ref prefix = Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(buf), n));
        return prefix && write(prefix.get());
    }

    Ref stream_;
};

// A bytes object filled in place, grown as needed and cut to size at the end.
class OutputBuffer {
public:
    bool allocate(Py_ssize_t capacity) {
        bytes_ = Ref::steal(PyBytes_FromStringAndSize(nullptr, std::max<Py_ssize_t>(capacity, 1)));
        return bool(bytes_);
    }

    bool fits(Py_ssize_t n) const { return n <= PyBytes_GET_SIZE(bytes_.get()) - used_; }

    // Grows to room for n more bytes, and to `hint` bytes in all if that is more.
    bool grow(Py_ssize_t n, Py_ssize_t hint) {
        return resize(std::max({PyBytes_GET_SIZE(bytes_.get()) * 2, used_ + n, hint}));
    }

    unsigned char* end() { return begin() + used_; }
    Py_ssize_t used() const { return used_; }
    void commit(unsigned char* end) { used_ = end - begin(); }

    PyObject* finish() {
        if (used_ != PyBytes_GET_SIZE(bytes_.get()) && !resize(used_)) {
            return nullptr;
        }
        return bytes_.release();
    }

private:
    unsigned char* begin() {
        return reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(bytes_.get()));
    }

    bool resize(Py_ssize_t size) {
        PyObject* bytes = bytes_.release();
        if (_PyBytes_Resize(&bytes, size) < 0) {
            return false;  // the object is gone and the error set
        }
        bytes_ = Ref::steal(bytes);
        return true;
    }

    Ref bytes_;
    Py_ssize_t used_ = 0;
};

bool is_ascii_text(PyObject* obj) { return PyUnicode_CheckExact(obj) && PyUnicode_IS_ASCII(obj); }

// The length of an exact bytes or ASCII str, which the record holds as they are; -1
// for anything else, which takes the way through _encode.
Py_ssize_t plain_size(PyObject* obj) {
    if (is_ascii_text(obj)) {
        return PyUnicode_GET_LENGTH(obj);
    }
    return PyBytes_CheckExact(obj) ? PyBytes_GET_SIZE(obj) : -1;
}

const void* plain_data(PyObject* obj) {
    return PyBytes_CheckExact(obj) ? PyBytes_AS_STRING(obj) : PyUnicode_DATA(obj);
}

unsigned char* copy_bytes(const void* data, Py_ssize_t size, unsigned char* out) {
    std::memcpy(out, data, static_cast<std::size_t>(size));
    return out + size;
}

// An upper bound of the record bytes for an exact str or bytes, without encoding it;
// -1 for other objects, whose encoding may run Python code.
Py_ssize_t size_bound(PyObject* obj) {
    if (PyBytes_CheckExact(obj)) {
        return PyBytes_GET_SIZE(obj);
    }
    if (!PyUnicode_CheckExact(obj)) {
        return -1;
    }
    Py_ssize_t n = PyUnicode_GET_LENGTH(obj);
    // UTF-8 takes at most one byte per byte of storage more than the code unit has.
    return PyUnicode_IS_ASCII(obj) ? n : n * (PyUnicode_KIND(obj) + 1);
}

constexpr Py_ssize_t guessed_entry_size = 24;
constexpr Py_ssize_t max_guessed_entries = 4096;

// A first guess of the record's size from the number of entries the container reports.
// A sequence may report far more items than it gives, so the guess is capped; the
// buffer grows from there as entries are written.
Py_ssize_t first_guess(Py_ssize_t entries) {
    return std::min(entries, max_guessed_entries) * guessed_entry_size;
}

// a * b, or the largest Py_ssize_t where that would overflow.
Py_ssize_t saturating_product(Py_ssize_t a, Py_ssize_t b) {
    Py_ssize_t product;
    return __builtin_mul_overflow(a, b, &product) ? PY_SSIZE_T_MAX : product;
}

// Builds the record in place; used when the stream would be the standard BytesIO.
// Exact str and bytes go straight into the record; anything else takes the way
// through _encode that a stream would see.
class BufferSink {
public:
    // Sizes the record from a first pass over d; false when the buffer cannot be had.
    // values_known tells whether every key is an exact str and every value an exact str
    // or bytes: then no Python code runs while d is written, and the values that the
    // iteration yields are those a lookup would find.
    bool plan_dict(PyObject* d, bool& values_known) {
        entries_ = PyDict_Size(d);
        values_known = false;
        Py_ssize_t total = 0;
        Py_ssize_t pos = 0;
        for (;;) {
            CriticalSection guard(d);
            PyObject* key;
            PyObject* value;
            if (!PyDict_Next(d, &pos, &key, &value)) {
                break;
            }
            Py_ssize_t ksize = PyUnicode_CheckExact(key) ? size_bound(key) : -1;
            Py_ssize_t vsize = size_bound(value);
            if (ksize < 0 || vsize < 0) {
                return out_.allocate(first_guess(entries_));
            }
            total += ksize + vsize;
        }
        values_known = true;
        // Lengths under 128 take one byte; longer ones make the buffer grow a little.
        return out_.allocate(total + 2 * entries_);
    }

    bool plan_list(PyObject*, Py_ssize_t n) {
        entries_ = n;
        return out_.allocate(first_guess(n));
    }

    // An ASCII str is its own UTF-8, copied straight into the record.
    static Payload encode(PyObject* obj) {
        if (is_ascii_text(obj)) {
            return Payload{Ref::borrow(obj), nullptr, PyUnicode_GET_LENGTH(obj), true};
        }
        return Payload{_encode(obj)};
    }

    // Writes an exact bytes or ASCII str item: 1 when written, 0 when the item is
    // anything else (nothing done), -1 on failure.
    int put_plain_item(PyObject* item) {
        Py_ssize_t size = plain_size(item);
        if (size < 0) {
            return 0;
        }
        unsigned char* out = room(varnum_width(size) + size);
        int nbytes = out ? write_length(out, size) : -1;
        if (nbytes <= 0) {
            return -1;
        }
        commit(copy_bytes(plain_data(item), size, out + nbytes));
        return 1;
    }

    // The same for a pair of them.
    int put_plain_pair(PyObject* key, PyObject* value) {
        Py_ssize_t ksize = plain_size(key);
        Py_ssize_t vsize = plain_size(value);
        if (ksize < 0 || vsize < 0) {
            return 0;
        }
        unsigned char* out = room(varnum_width(ksize) + varnum_width(vsize) + ksize + vsize);
        int knbytes = out ? write_length(out, ksize) : -1;
        int vnbytes = knbytes > 0 ? write_length(out + knbytes, vsize) : -1;
        if (vnbytes <= 0) {
            return -1;
        }
        unsigned char* end = copy_bytes(plain_data(key), ksize, out + knbytes + vnbytes);
        commit(copy_bytes(plain_data(value), vsize, end));
        return 1;
    }

    bool put_pair(const Payload& key, const Payload& value) {
        unsigned char* out =
            room(varnum_width(key.size) + varnum_width(value.size) + key.size + value.size);
        int knbytes = out ? write_length(out, key.size) : -1;
        int vnbytes = knbytes > 0 ? write_length(out + knbytes, value.size) : -1;
        if (vnbytes <= 0) {
            return false;
        }
        commit(copy(value, copy(key, out + knbytes + vnbytes)));
        return true;
    }

    bool put_item(const Payload& item) {
        unsigned char* out = room(varnum_width(item.size) + item.size);
        int nbytes = out ? write_length(out, item.size) : -1;
        if (nbytes <= 0) {
            return false;
        }
        commit(copy(item, out + nbytes));
        return true;
    }

    PyObject* finish() { return out_.finish(); }

private:
    // Room for one more entry. Should the buffer grow, it grows towards the size that
    // the entries so far project for all of them, so that a record of large entries is
    // not copied over and over; at most fourfold, as one large entry among small ones
    // projects far too much and a sequence may report more items than it has.
    unsigned char* room(Py_ssize_t n) {
        if (out_.fits(n)) {
            return out_.end();
        }
        Py_ssize_t needed = out_.used() + n;
        Py_ssize_t projected = saturating_product(needed / (done_ + 1), entries_);
        Py_ssize_t hint = std::min(projected, PY_SSIZE_T_MAX / 8 * 7);
        hint = std::min(hint + hint / 8, saturating_product(needed, 4));
        return out_.grow(n, hint) ? out_.end() : nullptr;
    }

    void commit(unsigned char* end) {
        out_.commit(end);
        ++done_;
    }

    static unsigned char* copy(const Payload& payload, unsigned char* out) {
        const void* data = payload.text ? PyUnicode_DATA(payload.obj.get()) : payload.data;
        return copy_bytes(data, payload.size, out);
    }

    OutputBuffer out_;
    Py_ssize_t entries_ = 0;
    Py_ssize_t done_ = 0;
};

// The class that makes the output stream: `io.BytesIO` as the module sees it now.
Ref stream_class() {
    Ref io = lookup_global(state.names.io);
    if (!io) {
        return {};
    }
    // A plain module answers getattr from its dict; asking the dict spares the
    // generic attribute machinery on every call.
    if (PyModule_CheckExact(io.get())) {
        PyObject* found = nullptr;
        if (PyDict_GetItemRef(PyModule_GetDict(io.get()), state.names.BytesIO, &found) > 0) {
            return Ref::steal(found);
        }
        PyErr_Clear();
    }
    return Ref::steal(PyObject_GetAttr(io.get(), state.names.BytesIO));
}

// Runs a writer into the standard stream's native stand-in or into a real stream.
template <template <class> class Writer>
PyObject* write_record(PyObject* container) {
    Ref cls = standard_stream_bound() ? Ref::borrow(state.standard_bytesio) : stream_class();
    if (!cls) {
        return nullptr;
    }
    if (cls.get() == state.standard_bytesio) {
        BufferSink sink;
        return Writer<BufferSink>::write(container, sink);
    }
    StreamSink sink;
    return sink.open(cls.get()) ? Writer<StreamSink>::write(container, sink) : nullptr;
}

// One step of the iteration over d, under d's critical section: 1 with the next key,
// 0 at the end, -1 when the size changed since the start. When asked for, the value
// comes too where the key is an exact str, whose lookup could run no Python code.
int next_entry(PyObject* d, Py_ssize_t size, Py_ssize_t& pos, Ref& key, Ref* value) {
    CriticalSection guard(d);
    if (PyDict_GET_SIZE(d) != size) {
        PyErr_SetObject(PyExc_RuntimeError, state.texts.dict_changed_size);
        return -1;
    }
    PyObject* found_key;
    PyObject* found_value;
    if (!PyDict_Next(d, &pos, &found_key, &found_value)) {
        return 0;
    }
    key = Ref::borrow(found_key);
    if (value != nullptr && PyUnicode_CheckExact(found_key)) {
        *value = Ref::borrow(found_value);
    }
    return 1;
}

// The value under key now; KeyError when the key has gone since it was taken.
Ref current_value(PyObject* d, PyObject* key) {
    PyObject* value = nullptr;
    int r = PyDict_GetItemRef(d, key, &value);
    if (r == 0) {
        // Wrapped, so that a tuple key is the exception's one argument.
        Ref arg = Ref::steal(PyTuple_Pack(1, key));
        if (arg) {
            PyErr_SetObject(PyExc_KeyError, arg.get());
        }
    }
    return Ref::steal(value);
}

template <class Sink>
struct DictWriter {
    static PyObject* write(PyObject* d, Sink& sink) {
        if (d == Py_None) {
            PyErr_SetObject(PyExc_TypeError, state.texts.none_not_iterable);
            return nullptr;
        }
        Ref held = Ref::borrow(d);
        Py_ssize_t size = PyDict_Size(d);
        bool values_known;
        if (!sink.plan_dict(d, values_known)) {
            return nullptr;
        }
        Py_ssize_t pos = 0;
        for (;;) {
            Ref key;
            Ref value;
            int step = next_entry(d, size, pos, key, values_known ? &value : nullptr);
            if (step <= 0) {
                return step < 0 ? nullptr : sink.finish();
            }
            if (!write_pair(d, key, std::move(value), sink)) {
                return nullptr;
            }
        }
    }

    // The key is encoded before its value is looked up again, as the key's __str__
    // may change the dict.
    static bool write_pair(PyObject* d, const Ref& key, Ref value, Sink& sink) {
        if constexpr (std::is_same_v<Sink, BufferSink>) {
            int written = value ? sink.put_plain_pair(key.get(), value.get()) : 0;
            if (written != 0) {
                return written > 0;
            }
        }
        Payload bkey = sink.encode(key.get());
        if (!bkey) {
            return false;
        }
        if (!value) {
            value = current_value(d, key.get());
        }
        Payload bvalue;
        if (value) {
            bvalue = sink.encode(value.get());
            value = Ref();
        }
        return bvalue && bkey.measure() && bvalue.measure() && sink.put_pair(bkey, bvalue);
    }
};

// l[i] as Python's subscript gives it for a non-negative index.
[[gnu::always_inline]] inline Ref item_at(PyObject* l, Py_ssize_t i) {
    if (PyList_CheckExact(l)) {
        return Ref::steal(PyList_GetItemRef(l, i));
    }
    if (PyTuple_CheckExact(l)) {
        return Ref::borrow(PyTuple_GET_ITEM(l, i));
    }
    Ref index = Ref::steal(PyLong_FromSsize_t(i));
    return index ? Ref::steal(PyObject_GetItem(l, index.get())) : Ref();
}

template <class Sink>
struct ListWriter {
    static PyObject* write(PyObject* l, Sink& sink) {
        Py_ssize_t n = PyObject_Size(l);
        if (n < 0) {
            return nullptr;
        }
        if (!sink.plan_list(l, n)) {
            return nullptr;
        }
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (!write_item(l, i, sink)) {
                return nullptr;
            }
        }
        return sink.finish();
    }

    static bool write_item(PyObject* l, Py_ssize_t i, Sink& sink) {
        Ref item = item_at(l, i);
        if (!item) {
            return false;
        }
        if constexpr (std::is_same_v<Sink, BufferSink>) {
            if (int written = sink.put_plain_item(item.get())) {
                return written > 0;
            }
        }
        Payload bvalue = sink.encode(item.get());
        item = Ref();
        return bvalue && bvalue.measure() && sink.put_item(bvalue);
    }
};

// ---------------------------------------------------------------------------
// Readers

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
        if (PyBytes_AsStringAndSize(data, &start, &size) < 0) {
            return false;
        }
        buf = reinterpret_cast<const unsigned char*>(start);
        left = static_cast<std::size_t>(size);
        return true;
    }

    std::uint64_t varnum(std::size_t& width) {
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

Ref text_of(const char* data, std::uint64_t size) {
    return decode_utf8(data, static_cast<Py_ssize_t>(size));
}

enum class Overrun { none, key, value };

// Reads the two length prefixes of a pair and moves past them. The lengths are tested
// against what is left without adding them up, so that no declared length can wrap
// around; the key is measured before the value prefix is counted.
Overrun read_lengths(Input& in, std::uint64_t& knum, std::uint64_t& vnum) {
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

// Reads one pair and stores it in accum.
bool read_pair(Input& in, PyObject* deserialize, PyObject* accum) {
    std::uint64_t knum;
    std::uint64_t vnum;
    switch (read_lengths(in, knum, vnum)) {
    case Overrun::key:
        return refuse(state.texts.corrupt_key);
    case Overrun::value:
        return refuse(state.texts.corrupt_value);
    case Overrun::none:
        break;
    }
    const char* kbuf = in.take(knum);
    const char* vbuf = in.take(vnum);
    int decode_value = is_true(deserialize);
    if (decode_value < 0) {
        return false;
    }
    Ref value;
    Ref key;
    if (decode_value) {
        // The value first, so that when both are malformed the error is the value's.
        value = text_of(vbuf, vnum);
        key = value ? text_of(kbuf, knum) : Ref();
    } else {
        key = text_of(kbuf, knum);
        value = key ? bytes_of(vbuf, vnum) : Ref();
    }
    return key && value && PyDict_SetItem(accum, key.get(), value.get()) == 0;
}

bool read_item(Input& in, PyObject* deserialize, PyObject* accum) {
    std::size_t step;
    std::uint64_t num = in.varnum(step);
    if (num > in.left - step) {
        return refuse(state.texts.corrupt_item);
    }
    in.take(step);
    const char* data = in.take(num);
    int decode = is_true(deserialize);
    if (decode < 0) {
        return false;
    }
    Ref item = decode ? text_of(data, num) : bytes_of(data, num);
    return item && PyList_Append(accum, item.get()) == 0;
}

// The number of pairs that a map record holds before its end or its first overrun,
// so that the result dict is made at its size at once.
Py_ssize_t count_pairs(Input in) {
    Py_ssize_t pairs = 0;
    std::uint64_t knum;
    std::uint64_t vnum;
    while (in.left > 0 && read_lengths(in, knum, vnum) == Overrun::none) {
        in.take(knum + vnum);
        ++pairs;
    }
    return pairs;
}

struct MapReader {
    static Ref make(const Input& in) { return Ref::steal(_PyDict_NewPresized(count_pairs(in))); }
    static bool read(Input& in, PyObject* deserialize, PyObject* accum) {
        return read_pair(in, deserialize, accum);
    }
};

struct ListReader {
    static Ref make(const Input&) { return Ref::steal(PyList_New(0)); }
    static bool read(Input& in, PyObject* deserialize, PyObject* accum) {
        return read_item(in, deserialize, accum);
    }
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
    Ref accum = Reader::make(in);
    if (!accum) {
        return nullptr;
    }
    while (in.left > 0) {
        if (!Reader::read(in, deserialize, accum.get())) {
            return nullptr;
        }
    }
    return accum.release();
}

}  // namespace

PyObject* serialize_dict_body(PyObject* const* args) {
    return write_record<DictWriter>(args[0]);
}

PyObject* serialize_list_body(PyObject* const* args) {
    return write_record<ListWriter>(args[0]);
}

PyObject* deserialize_dict_body(PyObject* const* args) {
    return read_record<MapReader>(args[0], args[1]);
}

PyObject* deserialize_list_body(PyObject* const* args) {
    return read_record<ListReader>(args[0], args[1]);
}

}  // namespace zav
