// The record formats: varnums, the map record and the list record.
//
// The writers produce their records through io.BytesIO, as callers may bind a stand-in
// `io` that sees every write. When the stream class is the standard BytesIO, whose
// write and getvalue run no Python code, the record is built in a native buffer
// instead: the bytes, the calls into Python objects and the errors are the same.
#include "serializer.h"
#include "output_buffer.h"
#include "repeat_cache.h"

#include <algorithm>
#include <cassert>
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

// One key, value or item on its way into the record: its plain form where it has one
// and the record is built natively, else the object that _encode gave.
struct Payload {
    Ref obj;  // what _encode gave, or the object whose plain form is taken
    PlainForm form;
    bool plain = false;
    const char* data = nullptr;
    Py_ssize_t size = 0;

    explicit operator bool() const { return bool(obj); }

    // Takes the length; fails as the bytes view of a non-bytes object would.
    bool measure() {
        if (plain) {
            size = form.size();
            return true;
        }
        char* start;
        if (PyBytes_AsStringAndSize(obj.get(), &start, &size) < 0) {
            return false;
        }
        data = start;
        return true;
    }

    unsigned char* write(unsigned char* out) const {
        if (plain) {
            return form.write(out);
        }
        std::memcpy(out, data, static_cast<std::size_t>(size));
        return out + size;
    }
};

Payload encoded(PyObject* obj) {
    Payload payload;
    payload.obj = _encode(obj);
    return payload;
}

// Writes to a stream object through its Python-level write and getvalue methods.
class StreamSink {
public:
    static constexpr bool native = false;

    bool open(PyObject* stream_class) {
        stream_ = Ref::steal(PyObject_CallNoArgs(stream_class));
        return bool(stream_);
    }

    void expect(Py_ssize_t) {}

    static Payload encode(PyObject* obj) { return encoded(obj); }

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

// The bytes of an exact ASCII str or bytes, which the record holds as they are, or
// the UTF-8 copy that a non-ASCII str holds.
struct Contents {
    const void* data = nullptr;
    Py_ssize_t size = -1;

    explicit Contents(PyObject* obj) {
        if (PyUnicode_CheckExact(obj)) {
            if (PyUnicode_IS_ASCII(obj)) {
                data = PyUnicode_DATA(obj);
                size = PyUnicode_GET_LENGTH(obj);
            } else {
                data = utf8::cached(obj, size);
            }
        } else if (PyBytes_CheckExact(obj)) {
            data = PyBytes_AS_STRING(obj);
            size = PyBytes_GET_SIZE(obj);
        }
    }

    explicit operator bool() const { return size >= 0; }

    unsigned char* write(unsigned char* out) const {
        copy_short(out, data, static_cast<std::size_t>(size));
        return out + size;
    }

    // The same for an item among others whose lengths vary.
    unsigned char* write_varied(unsigned char* out) const {
        copy_varied(out, data, static_cast<std::size_t>(size));
        return out + size;
    }
};

// Builds the record in place; used when the stream would be the standard BytesIO.
// Objects with a plain form go straight into the record; anything else takes the way
// through _encode that a stream would see.
class BufferSink {
public:
    static constexpr bool native = true;

    // The number of entries the container reports: a guide for growing, no more.
    void expect(Py_ssize_t entries) { out_.expect(entries); }

    void restart() { out_.clear(); }

    // The plain form when obj has one, else what _encode gives.
    static Payload encode(PyObject* obj) {
        Payload payload;
        switch (payload.form.take(obj)) {
        case PlainForm::plain:
            payload.obj = Ref::borrow(obj);
            payload.plain = true;
            return payload;
        case PlainForm::general:
            return encoded(obj);
        case PlainForm::failed:
            break;
        }
        return payload;
    }

    bool put_pair(const Payload& key, const Payload& value) {
        return put_pair_of(key, value);
    }

    bool put_item(const Payload& item) { return put_item_of(item); }

    // The same for plain forms alone, taken while no Python code runs. Text is
    // transcoded before its size is known, into room for its largest size behind room
    // for the widest length it may need; where the lengths turn out narrower, the
    // bytes move down to meet them.
    bool put_plain_pair(PlainForm& key, PlainForm& value) {
        if (!sized_later(key) || !sized_later(value)) {
            return put_pair_of(key, value);
        }
        int room_for_lengths = varnum_width(key.most_size()) + varnum_width(value.most_size());
        unsigned char* out = out_.room(room_for_lengths + key.most_size() + value.most_size());
        if (out == nullptr) {
            return false;
        }
        unsigned char* start = out + room_for_lengths;
        unsigned char* value_start = key.write(start);
        unsigned char* end = value.write(value_start);
        Py_ssize_t ksize = value_start - start;
        Py_ssize_t vsize = end - value_start;
        int kwidth = varnum_width(ksize);
        int vwidth = varnum_width(vsize);
        out_.commit(put_lengths_before(out, kwidth + vwidth, start, end));
        _writevarnum(out, static_cast<std::uint64_t>(ksize));
        _writevarnum(out + kwidth, static_cast<std::uint64_t>(vsize));
        return true;
    }

    bool put_plain_item(PlainForm& item) {
        if (!sized_later(item)) {
            return put_item_of(item);
        }
        int room_for_length = varnum_width(item.most_size());
        unsigned char* out = out_.room(room_for_length + item.most_size());
        if (out == nullptr) {
            return false;
        }
        unsigned char* start = out + room_for_length;
        unsigned char* end = item.write(start);
        int width = varnum_width(end - start);
        out_.commit(put_lengths_before(out, width, start, end));
        _writevarnum(out, static_cast<std::uint64_t>(end - start));
        return true;
    }

    // The commonest plain forms, an exact ASCII str or bytes, are their own contents:
    // these two spare the general plain form.
    bool put_contents_pair(const Contents& key, const Contents& value) {
        if ((key.size | value.size) >= 128) {
            return put_pair_of(key, value);
        }
        unsigned char* out = out_.room(2 + key.size + value.size);  // one-byte lengths
        if (out == nullptr) {
            return false;
        }
        out[0] = static_cast<unsigned char>(key.size);
        out[1] = static_cast<unsigned char>(value.size);
        out_.commit(value.write(key.write(out + 2)));
        return true;
    }

    // A short key whose value is an exact int, float or bool: the number's text is
    // written in place. 1 when written, 0 when the value is no such number, -1 on
    // failure.
    int put_number_pair(const Contents& key, PyObject* value) {
        if (key.size >= 128) {
            return 0;
        }
        return with_number_text(Py_TYPE(value), 0, [&](auto write_text) { return put_text_pair(key, value, write_text); });
    }

    // The same for an exact int key whose value is short contents (a map of ids to
    // names, say): the key's text is written in place.
    int put_int_key_pair(PyObject* key, const Contents& value) {
        if (value.size >= 128) {
            return 0;
        }
        unsigned char* out = out_.room(2 + static_cast<Py_ssize_t>(max_number_text) + value.size);
        if (out == nullptr) {
            return -1;
        }
        Py_ssize_t size = int_text(key, reinterpret_cast<char*>(out + 2));
        if (size < 0) {
            return 0;
        }
        out[0] = static_cast<unsigned char>(size);
        out[1] = static_cast<unsigned char>(value.size);
        out_.commit(value.write(out + 2 + size));
        return 1;
    }

    // Items from i on that are short text or exact ints, floats and bools, in one
    // loop that keeps the end of the record in registers: such items take a one-byte
    // length, and mixed, the tests of their types are all the loop asks. It stops at a
    // number followed by one of its type: put_number_items writes such runs faster.
    // Returns the index of the first item not written (i when items[i] is none of
    // those), or -1 on failure.
    Py_ssize_t put_short_items(PyObject* const* items, Py_ssize_t i, Py_ssize_t limit) {
        Py_ssize_t first = i;
        OutputBuffer::Span span = out_.span();
        unsigned char* last_start = span.limit - (1 + most_short_text);  // where an item surely fits
        for (; i < limit; ++i) {
            if (span.cursor > last_start) {
                out_.end_run(span.cursor, i - first);
                if (int written = put_short_item_alone(items, i, limit); written <= 0) {
                    return written < 0 ? -1 : i;
                }
                first = i + 1;
                span = out_.span();
                last_start = span.limit - (1 + most_short_text);
                continue;
            }
            Py_ssize_t size = short_text(items, i, limit, span.cursor + 1);
            if (size < 0) {
                break;
            }
            span.cursor[0] = static_cast<unsigned char>(size);
            span.cursor += 1 + size;
        }
        out_.end_run(span.cursor, i - first);
        return i;
    }

    // Items from i on that are numbers of the type of items[i], an exact int, float or
    // bool, in a loop of their own: a list of numbers mostly holds one kind. Returns
    // the index of the first item not written (i when items[i] is no such number), or
    // -1 on failure.
    Py_ssize_t put_number_items(PyObject* const* items, Py_ssize_t i, Py_ssize_t limit) {
        PyTypeObject* type = Py_TYPE(items[i]);
        return with_number_text(type, i, [&](auto write_text) { return put_text_items(items, i, limit, type, write_text); });
    }

    // Items from i on that are their own contents (exact ASCII strs, non-ASCII ones
    // holding their UTF-8 copy, exact bytes), of any size below 2**28, in one loop that
    // keeps the end of the record in registers: the long and the non-ASCII texts that
    // put_short_items leaves, as in a list of prose. Returns the index of the first item
    // not written (i when items[i] is none of those), or -1 on failure.
    [[gnu::noinline]] Py_ssize_t put_contents_items(PyObject* const* items, Py_ssize_t i, Py_ssize_t limit) {
        Py_ssize_t first = i;
        OutputBuffer::Span span = out_.span();
        for (; i < limit; ++i) {
            Contents item(items[i]);
            if (!item || item.size >= most_contents_size) {
                break;
            }
            if (span.limit - span.cursor < most_length_width + item.size) {
                out_.end_run(span.cursor, i - first);
                first = i;
                if (out_.room(most_length_width + item.size) == nullptr) {
                    return -1;
                }
                span = out_.span();
            }
            int width = _writevarnum(span.cursor, static_cast<std::uint64_t>(item.size));
            span.cursor = item.write_varied(span.cursor + width);
        }
        out_.end_run(span.cursor, i - first);
        return i;
    }

    PyObject* finish() { return out_.finish(); }

private:
    // Writes value's text as the value of a pair whose key has a one-byte length; as
    // put_number_pair.
    template <class WriteText>
    int put_text_pair(const Contents& key, PyObject* value, WriteText write_text) {
        unsigned char* out = out_.room(2 + key.size + static_cast<Py_ssize_t>(max_number_text));
        if (out == nullptr) {
            return -1;
        }
        // The key first, so that little is held across a call that makes the text;
        // nothing counts until the commit.
        out[0] = static_cast<unsigned char>(key.size);
        auto* text = reinterpret_cast<char*>(key.write(out + 2));
        Py_ssize_t size = write_text(value, text);
        if (size < 0) {
            return 0;
        }
        out[1] = static_cast<unsigned char>(size);
        out_.commit(reinterpret_cast<unsigned char*>(text) + size);
        return 1;
    }

    // Short items take a one-byte length.
    static constexpr Py_ssize_t most_short_text = 127;
    // Lengths below 2**28 take at most four bytes, which need no interpreter.
    static constexpr Py_ssize_t most_contents_size = Py_ssize_t{1} << 28;
    static constexpr Py_ssize_t most_length_width = 4;
    static_assert(max_number_text <= most_short_text);

    // Writes items[i] as put_short_items does, where the buffer may have too little
    // room: the text is made first, so that the buffer grows by the item's own size and
    // projects the record's size from what it holds (growing by the most an item may
    // take would underestimate it). 1 when written, 0 when items[i] is no short item,
    // -1 on failure.
    int put_short_item_alone(PyObject* const* items, Py_ssize_t i, Py_ssize_t limit) {
        unsigned char text[most_short_text];
        Py_ssize_t size = short_text(items, i, limit, text);
        if (size < 0) {
            return 0;
        }
        unsigned char* out = out_.room(1 + size);
        if (out == nullptr) {
            return -1;
        }
        out[0] = static_cast<unsigned char>(size);
        std::memcpy(out + 1, text, static_cast<std::size_t>(size));
        out_.commit(out + 1 + size);
        return 1;
    }

    // Writes the text of items[i] at out (room for 127 bytes) when it is an exact str
    // whose UTF-8 takes at most 127 bytes, or an exact int, float or bool that
    // number_text writes and that does not start a run of its type; returns its size,
    // or -1 (nothing written) for any other item.
    [[gnu::always_inline]] static Py_ssize_t short_text(PyObject* const* items, Py_ssize_t i, Py_ssize_t limit,
                                                        unsigned char* out) {
        PyObject* item = items[i];
        if (PyUnicode_CheckExact(item)) {
            if (!PyUnicode_IS_ASCII(item)) [[unlikely]] {
                return short_non_ascii_text(item, out);
            }
            Py_ssize_t size = PyUnicode_GET_LENGTH(item);
            if (size > most_short_text) {
                return -1;
            }
            copy_varied(out, PyUnicode_DATA(item), static_cast<std::size_t>(size));
            return size;
        }
        if (i + 1 < limit && Py_TYPE(items[i + 1]) == Py_TYPE(item)) {
            return -1;
        }
        return number_text(item, reinterpret_cast<char*>(out));
    }

    // The same for an exact non-ASCII str: its characters transcoded, when it may take
    // no more than 127 bytes and has no surrogate (whose error _encode raises). One that
    // holds its UTF-8 copy is left to put_contents_items, whose loop takes the texts
    // after it too. Out of the loop that calls it, which short ASCII text and numbers
    // mostly keep to.
    [[gnu::noinline]] static Py_ssize_t short_non_ascii_text(PyObject* text, unsigned char* out) {
        Py_ssize_t size;
        if (utf8::most_encoded_size(text) > most_short_text || utf8::cached(text, size) != nullptr) {
            return -1;
        }
        if (!utf8::encodable(text)) {
            return -1;
        }
        return utf8::encode_into(text, out) - out;
    }

    // Writes the texts of the items from i on while they are of the given type; as
    // put_number_items. The room is checked once for as many items as surely fit in it,
    // not once an item. A call of its own, a run at a time: inline, it would crowd the
    // registers of the loop of mixed items it is called from.
    template <class WriteText>
    [[gnu::noinline]] Py_ssize_t put_text_items(PyObject* const* items, Py_ssize_t i, Py_ssize_t limit, PyTypeObject* type,
                              WriteText write_text) {
        Py_ssize_t first = i;
        OutputBuffer::Span span = out_.span();
        while (i < limit) {
            if (span.limit - span.cursor < most_number_item) {
                out_.end_run(span.cursor, i - first);
                first = i;
                if (out_.room(most_number_item) == nullptr) {
                    return -1;
                }
                span = out_.span();
            }
            Py_ssize_t stop = std::min(limit, i + (span.limit - span.cursor) / most_number_item);
            Py_ssize_t next = put_texts_in_room(items, i, stop, type, span.cursor, write_text);
            bool ended = next < stop;  // at an item of another type or an int too large
            i = next;
            if (ended) {
                break;
            }
        }
        out_.end_run(span.cursor, i - first);
        return i;
    }

    // The most a number item takes: a one-byte length and its text.
    static constexpr Py_ssize_t most_number_item = 1 + static_cast<Py_ssize_t>(max_number_text);

    // Writes the texts of the items from i to stop while they are of the given type at
    // cursor, which has room for them all, and moves it past them; returns the index
    // of the first item not written.
    template <class WriteText>
    [[gnu::always_inline]] static Py_ssize_t put_texts_in_room(PyObject* const* items, Py_ssize_t i, Py_ssize_t stop,
                                                               PyTypeObject* type, unsigned char*& cursor,
                                                               WriteText write_text) {
        unsigned char* out = cursor;  // in a register, whatever the stores alias
        for (; i < stop && Py_TYPE(items[i]) == type; ++i) {
            Py_ssize_t size = write_text(items[i], reinterpret_cast<char*>(out + 1));
            if (size < 0) {
                break;
            }
            out[0] = static_cast<unsigned char>(size);
            out += 1 + size;
        }
        cursor = out;
        return i;
    }

    template <class Part>
    bool put_pair_of(Part& key, Part& value) {
        Py_ssize_t ksize = size_of(key);
        Py_ssize_t vsize = size_of(value);
        unsigned char* out = out_.room(varnum_width(ksize) + varnum_width(vsize) + ksize + vsize);
        int knbytes = out ? write_length(out, ksize) : -1;
        int vnbytes = knbytes > 0 ? write_length(out + knbytes, vsize) : -1;
        if (vnbytes <= 0) {
            return false;
        }
        out_.commit(value.write(key.write(out + knbytes + vnbytes)));
        return true;
    }

    template <class Part>
    bool put_item_of(Part& item) {
        Py_ssize_t size = size_of(item);
        unsigned char* out = out_.room(varnum_width(size) + size);
        int nbytes = out ? write_length(out, size) : -1;
        if (nbytes <= 0) {
            return false;
        }
        out_.commit(item.write(out + nbytes));
        return true;
    }

    // Whether a form is small enough to be written before its length: below 2**28
    // bytes, whose lengths take four bytes at most and need no interpreter.
    static bool sized_later(const PlainForm& form) { return form.most_size() < (Py_ssize_t{1} << 28); }

    // Moves the bytes from start to end down to follow `lengths` bytes at out, where
    // the lengths took less room than was left for them; returns the new end.
    static unsigned char* put_lengths_before(unsigned char* out, int lengths, unsigned char* start,
                                             unsigned char* end) {
        if (out + lengths != start) {
            std::memmove(out + lengths, start, static_cast<std::size_t>(end - start));
        }
        return end - (start - out - lengths);
    }

    static Py_ssize_t size_of(const Payload& payload) { return payload.size; }
    static Py_ssize_t size_of(PlainForm& form) { return form.size(); }
    static Py_ssize_t size_of(const Contents& contents) { return contents.size; }

    OutputBuffer out_;
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
    Ref cls;  // looked up only where the standard one may not be bound
    if (!standard_stream_bound()) {
        cls = stream_class();
        if (!cls) {
            return nullptr;
        }
    }
    if (!cls || cls.get() == state.standard_bytesio) {
        BufferSink sink;
        return Writer<BufferSink>::write(container, sink);
    }
    StreamSink sink;
    return sink.open(cls.get()) ? Writer<StreamSink>::write(container, sink) : nullptr;
}

// ---------------------------------------------------------------------------
// The map record

// Keys whose hashing and comparison run no Python code. While a dict holds only such
// keys, looking one of them up finds its own entry without calling into any object.
bool is_native_key(PyObject* key) {
    return PyUnicode_CheckExact(key) || PyBytes_CheckExact(key) || PyLong_CheckExact(key) ||
           PyFloat_CheckExact(key) || PyBool_Check(key);
}

bool native_keys_from(PyObject* d, Py_ssize_t pos) {
    PyObject* key;
    while (PyDict_Next(d, &pos, &key, nullptr)) {
        if (!is_native_key(key)) {
            return false;
        }
    }
    return true;
}

void refuse_changed_size() { PyErr_SetObject(PyExc_RuntimeError, state.texts.dict_changed_size); }

// How a run of plain pairs ended.
enum class Run {
    done,      // every pair written
    failed,    // with an exception set
    general,   // the pair at pos needs Python code; the dict holds native keys only
    restart,   // the dict holds other keys: what was written may not stand
};

// How the writing of one pair in plain forms went.
enum class Step { written, failed, general };

// Writes one pair in its plain forms, when key and value have them.
[[gnu::always_inline]] inline Step write_plain_pair(PyObject* key, PyObject* value, BufferSink& sink) {
    if (Contents kcontents(key); kcontents) {
        if (Contents vcontents(value); vcontents) {
            return sink.put_contents_pair(kcontents, vcontents) ? Step::written : Step::failed;
        }
        if (int written = sink.put_number_pair(kcontents, value); written != 0) {
            return written > 0 ? Step::written : Step::failed;
        }
    } else if (PyLong_CheckExact(key)) {
        if (Contents vcontents(value); vcontents) {
            if (int written = sink.put_int_key_pair(key, vcontents); written != 0) {
                return written > 0 ? Step::written : Step::failed;
            }
        }
    }
    PlainForm bkey;
    PlainForm bvalue;
    PlainForm::Outcome k = is_native_key(key) ? bkey.take(key) : PlainForm::general;
    PlainForm::Outcome v = k == PlainForm::plain ? bvalue.take(value) : k;
    if (v != PlainForm::plain) {
        return v == PlainForm::failed ? Step::failed : Step::general;
    }
    return sink.put_plain_pair(bkey, bvalue) ? Step::written : Step::failed;
}

// The end of a run at the pair at pos, which needs Python code.
Run general_from(PyObject* d, Py_ssize_t pos) { return native_keys_from(d, pos) ? Run::general : Run::restart; }

// Writes pairs from the first on (pos is 0) as long as key and value have plain forms,
// in one critical section: no Python code runs meanwhile, so the dict cannot change,
// and the values that the iteration yields are those that lookups would find, as long
// as every key of the dict is native; that is checked once a pair needs Python code.
// The dict cannot change meanwhile: once it has given its size in pairs, it has no
// more, and the call that would say so is spared. Not inlined into the writer: there
// its loop kept less in registers (3 to 7 instructions more a pair, by callgrind).
[[gnu::noinline]] Run write_plain_pairs(PyObject* d, Py_ssize_t size, Py_ssize_t& pos, BufferSink& sink) {
    CriticalSection guard(d);
    if (PyDict_GET_SIZE(d) != size) {
        refuse_changed_size();
        return Run::failed;
    }
    assert(pos == 0);
    PyObject* key;
    PyObject* value;
    if (DictEntries entries = state.dict_entries_readable ? DictEntries(d) : DictEntries(); entries) {
        for (Py_ssize_t left = size; left > 0 && entries.next(key, value); --left) {
            if (Step step = write_plain_pair(key, value, sink); step != Step::written) {
                pos = entries.last_position();
                return step == Step::failed ? Run::failed : general_from(d, pos);
            }
        }
        return Run::done;
    }
    for (Py_ssize_t left = size; left > 0; --left) {
        Py_ssize_t at = pos;
        if (!PyDict_Next(d, &pos, &key, &value)) {
            break;
        }
        if (Step step = write_plain_pair(key, value, sink); step != Step::written) {
            pos = at;
            return step == Step::failed ? Run::failed : general_from(d, pos);
        }
    }
    return Run::done;
}

// Whether DictEntries reads what PyDict_Next yields, in the same order with the same
// positions, from a table of str keys and from one of other keys.
bool reads_as_dict_next(PyObject* d) {
    DictEntries entries(d);
    // The probes hold three entries, one deleted: a count that differs says the
    // layout does, before any entry is read.
    if (!entries || entries.slots() != 3) {
        return false;
    }
    Py_ssize_t pos = 0;
    for (;;) {
        PyObject* key;
        PyObject* value;
        PyObject* in_place_key;
        PyObject* in_place_value;
        bool found = PyDict_Next(d, &pos, &key, &value);
        if (found != entries.next(in_place_key, in_place_value)) {
            return false;
        }
        if (!found) {
            return true;
        }
        if (key != in_place_key || value != in_place_value || entries.last_position() != pos - 1) {
            return false;
        }
    }
}

// One step of the iteration over d, under d's critical section: 1 with the next key
// (and its value, when asked for), 0 at the end, -1 when the size changed.
int next_entry(PyObject* d, Py_ssize_t size, Py_ssize_t& pos, Ref& key, Ref* value) {
    CriticalSection guard(d);
    if (PyDict_GET_SIZE(d) != size) {
        refuse_changed_size();
        return -1;
    }
    PyObject* found_key;
    PyObject* found_value;
    if (!PyDict_Next(d, &pos, &found_key, &found_value)) {
        return 0;
    }
    key = Ref::borrow(found_key);
    if (value != nullptr) {
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
        Py_ssize_t size = PyDict_Size(d);
        sink.expect(size);
        Py_ssize_t pos = 0;
        bool known = false;  // the pair at pos was taken while no Python code ran
        if constexpr (Sink::native) {
            switch (write_plain_pairs(d, size, pos, sink)) {
            case Run::done:
                return sink.finish();
            case Run::failed:
                return nullptr;
            case Run::general:
                known = true;
                break;
            case Run::restart:
                sink.restart();
                pos = 0;
                break;
            }
        }
        // Python code may run from here on, and may drop every other reference to d.
        Ref held = Ref::borrow(d);
        // The known pair's value is the one a lookup would find; every later value is
        // looked up again.
        if (known && !write_known_pair(d, size, pos, sink)) {
            return nullptr;
        }
        return write_pairs(d, size, pos, sink);
    }

    static bool write_known_pair(PyObject* d, Py_ssize_t size, Py_ssize_t& pos, Sink& sink) {
        Ref key;
        Ref value;
        return next_entry(d, size, pos, key, &value) > 0 && write_pair(d, key, std::move(value), sink);
    }

    static PyObject* write_pairs(PyObject* d, Py_ssize_t size, Py_ssize_t pos, Sink& sink) {
        for (;;) {
            Ref key;
            int step = next_entry(d, size, pos, key, nullptr);
            if (step <= 0) {
                return step < 0 ? nullptr : sink.finish();
            }
            if (!write_pair(d, key, Ref(), sink)) {
                return nullptr;
            }
        }
    }

    // The key is encoded before its value is looked up again, as the key's __str__
    // may change the dict.
    static bool write_pair(PyObject* d, const Ref& key, Ref value, Sink& sink) {
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

// ---------------------------------------------------------------------------
// The list record

// Writes the items of a list or tuple from i on as long as they have plain forms, in
// one critical section with borrowed references: no Python code runs meanwhile. Returns
// the index of the first item not written, or -1 on failure.
Py_ssize_t write_plain_items(PyObject* l, Py_ssize_t i, Py_ssize_t n, BufferSink& sink) {
    CriticalSection guard(l);
    PyObject* const* items = PySequence_Fast_ITEMS(l);  // a list's or a tuple's
    Py_ssize_t limit = std::min(n, PySequence_Fast_GET_SIZE(l));
    while (i < limit) {
        if ((i = sink.put_short_items(items, i, limit)) < 0 || i == limit) {
            return i;
        }
        Py_ssize_t next = Contents(items[i]) ? sink.put_contents_items(items, i, limit)
                                             : sink.put_number_items(items, i, limit);
        if (next != i) {
            if (next < 0) {
                return -1;
            }
            i = next;
            continue;
        }
        // Any other item with a plain form, one at a time.
        PlainForm bitem;
        switch (bitem.take(items[i])) {
        case PlainForm::plain:
            if (!sink.put_plain_item(bitem)) {
                return -1;
            }
            ++i;
            break;
        case PlainForm::general:
            return i;
        case PlainForm::failed:
            return -1;
        }
    }
    return i;
}

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
        sink.expect(n);
        bool plain_run = Sink::native && (PyList_CheckExact(l) || PyTuple_CheckExact(l));
        for (Py_ssize_t i = 0; i < n; ++i) {
            if constexpr (Sink::native) {
                if (plain_run && (i = write_plain_items(l, i, n, sink)) < 0) {
                    return nullptr;
                }
                if (i == n) {
                    break;
                }
            }
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

// Reads short ASCII items into the presized list, from its item next on, each str
// from make_text(p, left) for the item at p with `left` bytes from p on, and moves past
// them; false when making a str failed. The general path gives the same strs, and the
// same error where memory is short. The loop keeps its place in registers, as nothing
// it calls can see the input; a call of its own, as the reader's other loops crowd it.
template <class MakeText>
[[gnu::noinline]] bool read_short_run(Input& in, PyObject* list, Py_ssize_t& next, MakeText make_text) {
    const unsigned char* p = in.buf;
    const unsigned char* end = p + in.left;
    Py_ssize_t i = next;
    bool made = true;
    while (short_text_at(p, static_cast<std::size_t>(end - p))) {
        std::size_t size = p[0];
        PyObject* text = make_text(p, static_cast<std::size_t>(end - p));
        if (text == nullptr) {
            add_traceback("_decode");
            made = false;
            break;
        }
        assert(i < PyList_GET_SIZE(list));
        PyList_SET_ITEM(list, i++, text);
        p += 1 + size;
    }
    in.take(static_cast<std::size_t>(p - in.buf));
    next = i;
    return made;
}

// Reads the run of short ASCII items that starts here, their strs made from their
// bytes, or taken from the repeat cache where it is looked in.
bool read_short_texts(Input& in, PyObject* list, Py_ssize_t& next, RepeatCache& repeats) {
    if (repeats.looking()) {
        return read_short_run(in, list, next, [&](const unsigned char* p, std::size_t left) {
            return repeats.text_at(p, left);
        });
    }
    return read_short_run(in, list, next, [](const unsigned char* p, std::size_t) {
        return utf8::new_short_ascii(reinterpret_cast<const char*>(p + 1), p[0]);
    });
}

// Shows the repeat cache the first items of a list record of `items` items, for it to
// decide whether the reader takes strs from it.
void sample_repeats(Input in, Py_ssize_t items, RepeatCache& repeats) {
    if (!repeats.start(items)) {
        return;
    }
    std::size_t step;
    std::uint64_t num;
    for (int i = 0; i < RepeatCache::trial_items && in.left > 0 && (num = in.varnum(step)) <= in.left - step; ++i) {
        if (i == RepeatCache::half_trial_items && !repeats.undecided()) {
            break;
        }
        repeats.note(in.buf, in.left);
        in.take(step + num);
    }
    repeats.settle();
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

// The same for the items of a list record.
Py_ssize_t count_items(Input in) {
    Py_ssize_t items = 0;
    std::size_t step;
    std::uint64_t num;
    while (in.left > 0 && (num = in.varnum(step)) <= in.left - step) {
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
    Py_ssize_t texts = 0;  // as many as the reader will make, or more

    // A record whose keys are those of a template that the shape cache keeps is made
    // from it, its values read into an array first; any other into a presized dict,
    // pair by pair. Not where asking the truth of deserialize runs Python code.
    bool make(const Input& in, PyObject*, bool plain_truth, Ref& accum) {
        Py_ssize_t pairs = count_pairs(in, plain_truth, keys_);
        texts = 2 * pairs;
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

    bool shaped_ = false;  // a record the shape cache may make: few pairs, plain truth
    shape_cache::KeySequence keys_;
    shape_cache::Template template_;
};

class ListReader {
public:
    // The list is made at its size at once where asking the truth of deserialize runs
    // no Python code: then no one can see it before every item is in place.
    Py_ssize_t texts = 0;  // as many as the reader will make, once presized; none for bytes

    bool make(const Input& in, PyObject* deserialize, bool plain_truth, Ref& accum) {
        presized_ = plain_truth;
        Py_ssize_t items = presized_ ? count_items(in) : 0;
        texts = deserialize == Py_True ? items : 0;
        short_texts_ = deserialize == Py_True;
        sample_repeats(in, texts, repeats_);
        accum = Ref::steal(PyList_New(items));
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
        return short_texts_ ? read_texts(in, accum.get(), batch)
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
    // The items of a presized list of text. Runs of short ASCII items are read in a
    // loop of their own; they are never announced to the batch (TextBatch::announce),
    // so taking them there keeps it in step.
    template <class Batch>
    bool read_texts(Input& in, PyObject* accum, Batch& batch) {
        while (in.left > 0) {
            if (short_text_at(in.buf, in.left)) {
                if (!read_short_texts(in, accum, next_, repeats_)) {
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
            assert(next_ < PyList_GET_SIZE(accum));
            PyList_SET_ITEM(accum, next_++, text.release());
        }
        return true;
    }

    bool presized_ = false;
    bool short_texts_ = false;  // presized for text items: deserialize is True
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
    if (plain_truth && utf8::TextBatch::worth_it(reinterpret_cast<const char*>(in.buf), in.left, reader.texts)) {
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

bool check_dict_entries() {
    Ref str_keys = Ref::steal(Py_BuildValue("{s:i,s:i,s:i}", "a", 1, "b", 2, "c", 3));
    Ref int_keys = Ref::steal(Py_BuildValue("{i:i,i:i,i:i}", 1001, 1, 1002, 2, 1003, 3));
    Ref deleted = Ref::steal(PyLong_FromLong(1002));
    if (!str_keys || !int_keys || !deleted || PyDict_DelItemString(str_keys.get(), "b") < 0 ||
        PyDict_DelItem(int_keys.get(), deleted.get()) < 0) {
        return false;
    }
    state.dict_entries_readable = reads_as_dict_next(str_keys.get()) && reads_as_dict_next(int_keys.get());
    return true;
}

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
