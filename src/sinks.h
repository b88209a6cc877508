// What the record writers put their entries into. A writer is a template over its sink:
// StreamSink (here) writes through a Python stream, BufferSink (buffer_sink.h) builds
// the record natively. Both take entries as Payloads.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "serializer.h"
#include "varnum.h"

#include <cstring>

namespace zav {

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

inline Payload encoded(PyObject* obj) {
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

}  // namespace zav
