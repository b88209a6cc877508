// The record formats: varnums, the map record and the list record.
//
// The writers produce their records through io.BytesIO, as callers may bind a stand-in
// `io` that sees every write. When the stream class is the standard BytesIO, whose
// write and getvalue run no Python code, the record is built in a native buffer
// instead: the bytes, the calls into Python objects and the errors are the same.
#include "serializer.h"

#include <algorithm>
#include <cstring>

namespace zav {

// ---------------------------------------------------------------------------
// Varnums

namespace {

void fill_varnum(unsigned char* buf, std::uint64_t num, int width) {
    for (int k = 0; k < width; ++k) {
        unsigned char group = (num >> (7 * (width - 1 - k))) & 0x7F;
        buf[k] = k < width - 1 ? (group | 0x80) : group;
    }
}

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
            return truth < 0 ? -1 : 5 + i;
        }
    }
    return 0;
}

}  // namespace

int _writevarnum(unsigned char* buf, std::uint64_t num) {
    int width;
    if (num < (1ULL << 7)) {
        width = 1;
    } else if (num < (1ULL << 14)) {
        width = 2;
    } else if (num < (1ULL << 21)) {
        width = 3;
    } else if (num < (1ULL << 28)) {
        width = 4;
    } else {
        width = wide_varnum_width(num);
        if (width < 0) {
            add_traceback("_writevarnum");
        }
        if (width <= 0) {
            return width;
        }
    }
    fill_varnum(buf, num, width);
    return width;
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

// ---------------------------------------------------------------------------
// Writers

// One key, value or item as _encode gives it, with its byte length. On the native
// path a str stays a str and its UTF-8 goes straight into the record.
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

    void expect(Py_ssize_t) {}

    static Payload encode(PyObject* obj) { return Payload{_encode(obj)}; }

    bool put(const unsigned char* buf, int n) {
        Ref prefix = Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(buf), n));
        return prefix && write(prefix.get());
    }

    bool put(const Payload& payload) { return write(payload.obj.get()); }

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

    Ref stream_;
};

// Builds the record in place in a bytes object that grows as needed.
class BufferSink {
public:
    // A guess at the record's size from the number of entries, to spare regrowth.
    void expect(Py_ssize_t entries) { wanted_ = std::max<Py_ssize_t>(64, entries * 24); }

    static Payload encode(PyObject* obj) {
        if (PyUnicode_Check(obj)) {
            Py_ssize_t size = utf8_length(obj);
            if (size >= 0) {
                return Payload{Ref::borrow(obj), nullptr, size, true};
            }
        }
        return Payload{_encode(obj)};  // also raises for text that has no UTF-8 form
    }

    bool put(const unsigned char* buf, int n) {
        char* out = reserve(n);
        if (out != nullptr) {
            std::memcpy(out, buf, static_cast<std::size_t>(n));
        }
        return out != nullptr;
    }

    bool put(const Payload& payload) {
        char* out = reserve(payload.size);
        if (out == nullptr) {
            return false;
        }
        if (payload.text) {
            write_utf8(payload.obj.get(), out);
        } else {
            std::memcpy(out, payload.data, static_cast<std::size_t>(payload.size));
        }
        return true;
    }

    PyObject* finish() {
        if (!bytes_) {
            return PyBytes_FromStringAndSize(nullptr, 0);
        }
        return resize(used_) ? bytes_.release() : nullptr;
    }

private:
    // Room for n more bytes; the returned pointer stays valid until the next call.
    char* reserve(Py_ssize_t n) {
        if (!bytes_) {
            bytes_ = Ref::steal(PyBytes_FromStringAndSize(nullptr, std::max(wanted_, n)));
            if (!bytes_) {
                return nullptr;
            }
        }
        Py_ssize_t capacity = PyBytes_GET_SIZE(bytes_.get());
        if (n > capacity - used_ && !resize(std::max(capacity * 2, used_ + n))) {
            return nullptr;
        }
        char* out = PyBytes_AS_STRING(bytes_.get()) + used_;
        used_ += n;
        return out;
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
    Py_ssize_t wanted_ = 64;
};

// The class that makes the output stream: `io.BytesIO` as the module sees it now.
Ref stream_class() {
    Ref io = lookup_global(state.names.io);
    return io ? Ref::steal(PyObject_GetAttr(io.get(), state.names.BytesIO)) : Ref();
}

// Runs a writer into the standard stream's native stand-in or into a real stream.
template <template <class> class Writer>
PyObject* write_record(PyObject* container) {
    Ref cls = stream_class();
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
// 0 at the end, -1 when the size changed since the start.
int next_key(PyObject* d, Py_ssize_t size, Py_ssize_t& pos, Ref& key) {
    CriticalSection guard(d);
    if (PyDict_Size(d) != size) {
        PyErr_SetObject(PyExc_RuntimeError, state.texts.dict_changed_size);
        return -1;
    }
    PyObject* found;
    if (!PyDict_Next(d, &pos, &found, nullptr)) {
        return 0;
    }
    key = Ref::borrow(found);
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
        sink.expect(size);
        Py_ssize_t pos = 0;
        for (;;) {
            Ref key;
            int step = next_key(d, size, pos, key);
            if (step <= 0) {
                return step < 0 ? nullptr : sink.finish();
            }
            if (!write_pair(d, key.get(), sink)) {
                return nullptr;
            }
        }
    }

    static bool write_pair(PyObject* d, PyObject* key, Sink& sink) {
        Payload bkey = sink.encode(key);
        if (!bkey) {
            return false;
        }
        Payload bvalue;
        if (Ref value = current_value(d, key)) {
            bvalue = sink.encode(value.get());
        }
        if (!bvalue || !bkey.measure() || !bvalue.measure()) {
            return false;
        }
        unsigned char knumbuf[max_varnum_width];
        unsigned char vnumbuf[max_varnum_width];
        int knbytes = write_length(knumbuf, bkey.size);
        if (knbytes <= 0) {
            return false;
        }
        int vnbytes = write_length(vnumbuf, bvalue.size);
        return vnbytes > 0 && sink.put(knumbuf, knbytes) && sink.put(vnumbuf, vnbytes) &&
               sink.put(bkey) && sink.put(bvalue);
    }
};

// l[i] as Python's subscript gives it for a non-negative index.
Ref item_at(PyObject* l, Py_ssize_t i) {
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
        sink.expect(n);
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (!write_item(l, i, sink)) {
                return nullptr;
            }
        }
        return sink.finish();
    }

    static bool write_item(PyObject* l, Py_ssize_t i, Sink& sink) {
        Payload bvalue;
        if (Ref item = item_at(l, i)) {
            bvalue = sink.encode(item.get());
        }
        if (!bvalue || !bvalue.measure()) {
            return false;
        }
        unsigned char numbuf[max_varnum_width];
        int nbytes = write_length(numbuf, bvalue.size);
        return nbytes > 0 && sink.put(numbuf, nbytes) && sink.put(bvalue);
    }
};

// ---------------------------------------------------------------------------
// Readers

// raw_data as the module's `encode` (looked up now) turns it into bytes.
Ref record_bytes(PyObject* raw_data) {
    Ref encode = lookup_global(state.names.encode);
    if (!encode) {
        return {};
    }
    Ref data = Ref::steal(PyObject_CallOneArg(encode.get(), raw_data));
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

// Reads one pair and stores it in accum. The lengths are tested against what is left
// without adding them up, so that no declared length can wrap around.
bool read_pair(Input& in, PyObject* deserialize, PyObject* accum) {
    std::size_t kstep;
    std::uint64_t knum = in.varnum(kstep);
    if (knum > in.left - kstep) {
        return refuse(state.texts.corrupt_key);
    }
    in.take(kstep);
    std::size_t vstep;
    std::uint64_t vnum = in.varnum(vstep);
    std::size_t rest = in.left - vstep;
    if (knum > rest || vnum > rest - knum) {
        return refuse(state.texts.corrupt_value);
    }
    in.take(vstep);
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

using EntryReader = bool (*)(Input&, PyObject*, PyObject*);

PyObject* read_record(PyObject* raw_data, PyObject* deserialize, Ref accum, EntryReader read) {
    Ref data = record_bytes(raw_data);
    Input in;
    if (!data || !accum || !in.open(data.get())) {
        return nullptr;
    }
    while (in.left > 0) {
        if (!read(in, deserialize, accum.get())) {
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
    return read_record(args[0], args[1], Ref::steal(PyDict_New()), read_pair);
}

PyObject* deserialize_list_body(PyObject* const* args) {
    return read_record(args[0], args[1], Ref::steal(PyList_New(0)), read_item);
}

}  // namespace zav
