// BufferSink: the sink that builds the record in place, used when the stream would be
// the standard BytesIO. Objects with a plain form go straight into the record; anything
// else takes the way through _encode that a stream would see. It is made of three
// parts over the record's OutputBuffer, each a way of writing entries:
//   SizedEntries   any entry behind its varnum length, measured before or after;
//   TextEntries    text that is its own contents, and runs of short items;
//   NumberEntries  ints, floats and bools, their text made in place.
// Each part is a base of BufferSink that reaches the buffer through it, so that a call
// of a part's member that is not inlined passes the sink itself: a part holding a
// reference to the buffer would make its callers keep that reference in memory.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "output_buffer.h"
#include "serializer.h"
#include "sinks.h"
#include "varnum.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace zav {

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

// Entries of any size behind their varnum lengths: the general way, which the other
// parts fall back on.
template <class Sink>
class SizedEntries {
public:
    // A pair or an item of parts that know their size: Payloads, plain forms, Contents.
    template <class Part>
    bool put_pair(Part& key, Part& value) {
        Py_ssize_t ksize = size_of(key);
        Py_ssize_t vsize = size_of(value);
        unsigned char* out = buffer().room(varnum_width(ksize) + varnum_width(vsize) + ksize + vsize);
        int knbytes = out ? write_length(out, ksize) : -1;
        int vnbytes = knbytes > 0 ? write_length(out + knbytes, vsize) : -1;
        if (vnbytes <= 0) {
            return false;
        }
        buffer().commit(value.write(key.write(out + knbytes + vnbytes)));
        return true;
    }

    template <class Part>
    bool put_item(Part& item) {
        Py_ssize_t size = size_of(item);
        unsigned char* out = buffer().room(varnum_width(size) + size);
        int nbytes = out ? write_length(out, size) : -1;
        if (nbytes <= 0) {
            return false;
        }
        buffer().commit(item.write(out + nbytes));
        return true;
    }

    // The same for plain forms taken while no Python code runs. Text is transcoded
    // before its size is known, into room for its largest size behind room for the
    // widest length it may need; where the lengths turn out narrower, the bytes move
    // down to meet them.
    bool put_plain_pair(PlainForm& key, PlainForm& value) {
        if (!sized_later(key) || !sized_later(value)) {
            return put_pair(key, value);
        }
        int room_for_lengths = varnum_width(key.most_size()) + varnum_width(value.most_size());
        unsigned char* out = buffer().room(room_for_lengths + key.most_size() + value.most_size());
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
        buffer().commit(put_lengths_before(out, kwidth + vwidth, start, end));
        _writevarnum(out, static_cast<std::uint64_t>(ksize));
        _writevarnum(out + kwidth, static_cast<std::uint64_t>(vsize));
        return true;
    }

    bool put_plain_item(PlainForm& item) {
        if (!sized_later(item)) {
            return put_item(item);
        }
        int room_for_length = varnum_width(item.most_size());
        unsigned char* out = buffer().room(room_for_length + item.most_size());
        if (out == nullptr) {
            return false;
        }
        unsigned char* start = out + room_for_length;
        unsigned char* end = item.write(start);
        int width = varnum_width(end - start);
        buffer().commit(put_lengths_before(out, width, start, end));
        _writevarnum(out, static_cast<std::uint64_t>(end - start));
        return true;
    }

private:
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

    OutputBuffer& buffer() { return static_cast<Sink*>(this)->out_; }
};

// Text that is its own contents, the commonest plain form, written without the general
// plain form: pairs of it, runs of items of it, and runs of short items (short text
// and single numbers) behind one-byte lengths.
template <class Sink>
class TextEntries {
public:
    bool put_pair(const Contents& key, const Contents& value) {
        if ((key.size | value.size) >= 128) {
            return static_cast<Sink*>(this)->sized().put_pair(key, value);
        }
        unsigned char* out = buffer().room(2 + key.size + value.size);  // one-byte lengths
        if (out == nullptr) {
            return false;
        }
        out[0] = static_cast<unsigned char>(key.size);
        out[1] = static_cast<unsigned char>(value.size);
        buffer().commit(value.write(key.write(out + 2)));
        return true;
    }

    // Items from i on that are short text or exact ints, floats and bools, in one
    // loop that keeps the end of the record in registers: such items take a one-byte
    // length, and mixed, the tests of their types are all the loop asks. It stops at a
    // number followed by one of its type: NumberEntries::put_items writes such runs
    // faster. Returns the index of the first item not written (i when items[i] is none
    // of those), or -1 on failure.
    Py_ssize_t put_short_items(PyObject* const* items, Py_ssize_t i, Py_ssize_t limit) {
        Py_ssize_t first = i;
        OutputBuffer::Span span = buffer().span();
        unsigned char* last_start = span.limit - (1 + most_short_text);  // where an item surely fits
        for (; i < limit; ++i) {
            if (span.cursor > last_start) {
                buffer().end_run(span.cursor, i - first);
                if (int written = put_short_item_alone(items, i, limit); written <= 0) {
                    return written < 0 ? -1 : i;
                }
                first = i + 1;
                span = buffer().span();
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
        buffer().end_run(span.cursor, i - first);
        return i;
    }

    // Items from i on that are their own contents (exact ASCII strs, non-ASCII ones
    // holding their UTF-8 copy, exact bytes), of any size below 2**28, in one loop that
    // keeps the end of the record in registers: the long and the non-ASCII texts that
    // put_short_items leaves, as in a list of prose. Returns the index of the first item
    // not written (i when items[i] is none of those), or -1 on failure.
    [[gnu::noinline]] Py_ssize_t put_items(PyObject* const* items, Py_ssize_t i, Py_ssize_t limit) {
        Py_ssize_t first = i;
        OutputBuffer::Span span = buffer().span();
        for (; i < limit; ++i) {
            Contents item(items[i]);
            if (!item || item.size >= most_contents_size) {
                break;
            }
            if (span.limit - span.cursor < most_length_width + item.size) {
                buffer().end_run(span.cursor, i - first);
                first = i;
                if (buffer().room(most_length_width + item.size) == nullptr) {
                    return -1;
                }
                span = buffer().span();
            }
            int width = _writevarnum(span.cursor, static_cast<std::uint64_t>(item.size));
            span.cursor = item.write_varied(span.cursor + width);
        }
        buffer().end_run(span.cursor, i - first);
        return i;
    }

private:
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
        unsigned char* out = buffer().room(1 + size);
        if (out == nullptr) {
            return -1;
        }
        out[0] = static_cast<unsigned char>(size);
        std::memcpy(out + 1, text, static_cast<std::size_t>(size));
        buffer().commit(out + 1 + size);
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
    // holds its UTF-8 copy is left to put_items, whose loop takes the texts after it
    // too. Out of the loop that calls it, which short ASCII text and numbers mostly keep
    // to.
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

    OutputBuffer& buffer() { return static_cast<Sink*>(this)->out_; }
};

// Exact ints, floats and bools, whose text is written in place: as the value of a pair
// with a short key, as the key of a pair with short text for its value, and in runs of
// one type.
template <class Sink>
class NumberEntries {
public:
    // A short key whose value is an exact int, float or bool: the number's text is
    // written in place. 1 when written, 0 when the value is no such number, -1 on
    // failure.
    int put_pair(const Contents& key, PyObject* value) {
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
        unsigned char* out = buffer().room(2 + static_cast<Py_ssize_t>(max_number_text) + value.size);
        if (out == nullptr) {
            return -1;
        }
        Py_ssize_t size = int_text(key, reinterpret_cast<char*>(out + 2));
        if (size < 0) {
            return 0;
        }
        out[0] = static_cast<unsigned char>(size);
        out[1] = static_cast<unsigned char>(value.size);
        buffer().commit(value.write(out + 2 + size));
        return 1;
    }

    // Items from i on that are numbers of the type of items[i], an exact int, float or
    // bool, in a loop of their own: a list of numbers mostly holds one kind. Returns
    // the index of the first item not written (i when items[i] is no such number), or
    // -1 on failure.
    Py_ssize_t put_items(PyObject* const* items, Py_ssize_t i, Py_ssize_t limit) {
        PyTypeObject* type = Py_TYPE(items[i]);
        return with_number_text(type, i, [&](auto write_text) { return put_text_items(items, i, limit, type, write_text); });
    }

private:
    // Writes value's text as the value of a pair whose key has a one-byte length; as
    // put_pair.
    template <class WriteText>
    int put_text_pair(const Contents& key, PyObject* value, WriteText write_text) {
        unsigned char* out = buffer().room(2 + key.size + static_cast<Py_ssize_t>(max_number_text));
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
        buffer().commit(reinterpret_cast<unsigned char*>(text) + size);
        return 1;
    }

    // Writes the texts of the items from i on while they are of the given type; as
    // put_items. The room is checked once for as many items as surely fit in it, not
    // once an item. A call of its own, a run at a time: inline, it would crowd the
    // registers of the loop of mixed items it is called from.
    template <class WriteText>
    [[gnu::noinline]] Py_ssize_t put_text_items(PyObject* const* items, Py_ssize_t i, Py_ssize_t limit, PyTypeObject* type,
                              WriteText write_text) {
        Py_ssize_t first = i;
        OutputBuffer::Span span = buffer().span();
        while (i < limit) {
            if (span.limit - span.cursor < most_number_item) {
                buffer().end_run(span.cursor, i - first);
                first = i;
                if (buffer().room(most_number_item) == nullptr) {
                    return -1;
                }
                span = buffer().span();
            }
            Py_ssize_t stop = std::min(limit, i + (span.limit - span.cursor) / most_number_item);
            Py_ssize_t next = put_texts_in_room(items, i, stop, type, span.cursor, write_text);
            bool ended = next < stop;  // at an item of another type or an int too large
            i = next;
            if (ended) {
                break;
            }
        }
        buffer().end_run(span.cursor, i - first);
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
        if constexpr (std::is_same_v<WriteText, FloatText>) {  // two at a time: put_two_float_items
            for (; i + 1 < stop && Py_TYPE(items[i]) == type && Py_TYPE(items[i + 1]) == type; i += 2) {
                out = write_text.two_items(items[i], items[i + 1], out);
            }
        }
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

    OutputBuffer& buffer() { return static_cast<Sink*>(this)->out_; }
};

// The sink over the record's own buffer. The writers' runs of plain entries use its
// parts directly.
class BufferSink : public SizedEntries<BufferSink>,
                   public TextEntries<BufferSink>,
                   public NumberEntries<BufferSink> {
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

    bool put_pair(const Payload& key, const Payload& value) { return sized().put_pair(key, value); }

    bool put_item(const Payload& item) { return sized().put_item(item); }

    PyObject* finish() { return out_.finish(); }

    SizedEntries<BufferSink>& sized() { return *this; }
    TextEntries<BufferSink>& text() { return *this; }
    NumberEntries<BufferSink>& numbers() { return *this; }

private:
    template <class>
    friend class SizedEntries;
    template <class>
    friend class TextEntries;
    template <class>
    friend class NumberEntries;

    OutputBuffer out_;
};

}  // namespace zav
