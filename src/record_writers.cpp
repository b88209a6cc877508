// The record writers: the map record from a dict and the list record from a list,
// tuple or any sequence.
//
// The writers produce their records through io.BytesIO, as callers may bind a stand-in
// `io` that sees every write. When the stream class is the standard BytesIO, whose
// write and getvalue run no Python code, the record is built in a native buffer
// instead (buffer_sink.h): the bytes, the calls into Python objects and the errors are
// the same.
#include "serializer.h"
#include "buffer_sink.h"
#include "sinks.h"

#include <algorithm>
#include <cassert>

namespace zav {
namespace {

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
            return sink.text().put_pair(kcontents, vcontents) ? Step::written : Step::failed;
        }
        if (int written = sink.numbers().put_pair(kcontents, value); written != 0) {
            return written > 0 ? Step::written : Step::failed;
        }
    } else if (PyLong_CheckExact(key)) {
        if (Contents vcontents(value); vcontents) {
            if (int written = sink.numbers().put_int_key_pair(key, vcontents); written != 0) {
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
    return sink.sized().put_plain_pair(bkey, bvalue) ? Step::written : Step::failed;
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
        if ((i = sink.text().put_short_items(items, i, limit)) < 0 || i == limit) {
            return i;
        }
        Py_ssize_t next = Contents(items[i]) ? sink.text().put_items(items, i, limit)
                                             : sink.numbers().put_items(items, i, limit);
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
            if (!sink.sized().put_plain_item(bitem)) {
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

}  // namespace zav
