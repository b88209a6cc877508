// zav._stream: the loops of zav.stream that run once per record, where a Python loop
// would cost as much as the record functions it calls. A stream is a list record whose
// items are records; these loops find and make the items, and call the record
// functions that zav.stream hands them, so that every record is read and written
// exactly as those functions do it. The module keeps no state.
#include "serializer.h"
#include "varnum.h"

#include <cerrno>

namespace zav::stream {
namespace {

// A varnum of a 64-bit length takes at most this many bytes. A longer length prefix is
// no record's: the loop stops there, and zav.stream refuses it.
constexpr std::size_t max_prefix_width = 10;

// Where the next record of a buffer lies, if the buffer holds all of it.
struct Extent {
    std::size_t start;  // its payload, after the length prefix
    std::size_t size;
    bool complete;
};

Extent next_record(const unsigned char* data, std::size_t size) {
    std::uint64_t length = 0;
    std::size_t width = _readvarnum(data, size, &length);
    bool prefix_complete = width > 0 && width <= max_prefix_width && data[width - 1] < 0x80;
    bool complete = prefix_complete && length <= size - width;
    return {width, complete ? static_cast<std::size_t>(length) : 0, complete};
}

// Adds "record INDEX of the iterable" or similar context to an exception as a note.
// The exception stays what it was if the note cannot be added. A MemoryError gets none:
// when memory is short the interpreter raises one instance of it for every failure,
// which would gather the notes of all of them.
void add_note(PyObject* exception, const char* format, Py_ssize_t value) {
    if (PyObject_TypeCheck(exception, reinterpret_cast<PyTypeObject*>(PyExc_MemoryError))) {
        return;
    }
    Ref note = Ref::steal(PyUnicode_FromFormat(format, value));
    Ref added;
    if (note) {
        added = Ref::steal(PyObject_CallMethod(exception, "add_note", "O", note.get()));
    }
    if (!added) {
        PyErr_Clear();
    }
}

// Makes earlier the context of the exception raised since, unless they are one (the
// shared MemoryError, say).
void raised_after(Ref earlier) {
    Ref later = Ref::steal(PyErr_GetRaisedException());
    if (later.get() != earlier.get() && earlier.get() != Py_None) {
        PyException_SetContext(later.get(), earlier.release());
    }
    PyErr_SetRaisedException(later.release());
}

// read_records(buffer, reader, deserialize) -> (records, end, failure)
//
// Reads the complete records at the start of buffer (exact bytes) with
// reader(record, deserialize). end is the offset of the first record not read: the
// one the buffer holds only part of, or the one reader failed on, whose exception is
// failure (else None). The records read before a failure are returned all the same.
PyObject* read_records(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 3 || !PyBytes_CheckExact(args[0])) {
        PyErr_SetString(PyExc_TypeError, "read_records(buffer: bytes, reader, deserialize)");
        return nullptr;
    }
    const auto* data = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(args[0]));
    std::size_t size = static_cast<std::size_t>(PyBytes_GET_SIZE(args[0]));
    Ref records = Ref::steal(PyList_New(0));
    if (!records) {
        return nullptr;
    }
    Ref failure = Ref::borrow(Py_None);
    std::size_t position = 0;
    while (position < size) {
        Extent next = next_record(data + position, size - position);
        if (!next.complete) {
            break;
        }
        const char* payload = reinterpret_cast<const char*>(data + position + next.start);
        Ref record = Ref::steal(PyBytes_FromStringAndSize(payload, static_cast<Py_ssize_t>(next.size)));
        if (!record) {
            return nullptr;
        }
        PyObject* call_args[] = {record.get(), args[2]};
        Ref value = Ref::steal(PyObject_Vectorcall(args[1], call_args, 2, nullptr));
        if (!value) {
            failure = Ref::steal(PyErr_GetRaisedException());
            break;
        }
        if (PyList_Append(records.get(), value.get()) < 0) {
            return nullptr;
        }
        position += next.start + next.size;
    }
    return Py_BuildValue("(OnO)", records.get(), static_cast<Py_ssize_t>(position), failure.get());
}

// Records serialized one by one into a batch, and framed as one piece of a stream.
class Batch {
public:
    Batch(PyObject* serialize, PyObject* frame) : serialize_(serialize), frame_(frame) {}

    bool start() {
        records_ = Ref::steal(PyList_New(0));
        return static_cast<bool>(records_);
    }

    // Serializes one record into the batch.
    bool add(PyObject* item) {
        Ref record = Ref::steal(PyObject_Vectorcall(serialize_, &item, 1, nullptr));
        if (!record) {
            return false;
        }
        if (!PyBytes_Check(record.get())) {
            PyErr_Format(PyExc_TypeError, "a record writer returned %.200s, not bytes", Py_TYPE(record.get())->tp_name);
            return false;
        }
        bytes_ += PyBytes_GET_SIZE(record.get()) + max_varnum_width;
        return PyList_Append(records_.get(), record.get()) == 0;
    }

    // About how many bytes the framed batch takes.
    Py_ssize_t bytes() const { return bytes_; }

    bool empty() const { return PyList_GET_SIZE(records_.get()) == 0; }

    // The batch's records framed as one piece, the batch emptied.
    Ref take() {
        PyObject* records = records_.get();
        Ref piece = Ref::steal(PyObject_Vectorcall(frame_, &records, 1, nullptr));
        if (!piece || PyList_SetSlice(records, 0, PY_SSIZE_T_MAX, nullptr) < 0) {
            return Ref();
        }
        bytes_ = 0;
        return piece;
    }

private:
    PyObject* serialize_;
    PyObject* frame_;
    Ref records_;
    Py_ssize_t bytes_ = 0;
};

// The writer's side: records serialized one by one, framed a batch at a time and
// handed to the file's write.
class Writer {
public:
    Writer(PyObject* write, PyObject* serialize, PyObject* frame, Py_ssize_t limit, bool blocked_by_none)
        : write_(write), batch_(serialize, frame), limit_(limit), blocked_by_none_(blocked_by_none) {}

    // Writes every record of the iterator; false with an exception set when a record
    // or the iterator fails (the records before it written) or a write fails.
    bool write_all(PyObject* iterator) {
        if (!batch_.start()) {
            return false;
        }
        for (Py_ssize_t index = 0;; ++index) {
            Ref item = Ref::steal(PyIter_Next(iterator));
            if (!item) {
                return PyErr_Occurred() ? flush_before_failure(-1) : flush();
            }
            if (!batch_.add(item.get())) {
                return flush_before_failure(index);
            }
            if (batch_.bytes() >= limit_ && !flush()) {
                return false;
            }
        }
    }

    Py_ssize_t written() const { return written_; }

private:
    // Writes the batch's records as one piece of the stream and starts a new batch.
    bool flush() {
        // A long list of records runs no Python code between batches to look for ^C.
        if (PyErr_CheckSignals() < 0) {
            return false;
        }
        if (batch_.empty()) {
            return true;
        }
        Ref piece = batch_.take();
        return piece && write_whole(piece.get());
    }

    // Flushes the records before a failure, which stays the exception raised; index
    // >= 0 names the record that failed in a note. Should the flush fail, its own
    // exception is raised, with the record's as its context.
    bool flush_before_failure(Py_ssize_t index) {
        Ref failure = Ref::steal(PyErr_GetRaisedException());
        if (!flush()) {
            raised_after(std::move(failure));
            return false;
        }
        if (index >= 0) {
            add_note(failure.get(), "while writing record %zd of the iterable", index);
        }
        PyErr_SetRaisedException(failure.release());
        return false;
    }

    // Hands piece to write until it has taken all of it. A raw file may take less than
    // it is given, and is then given the rest as a memoryview of the piece, as a
    // buffered file gives it to its raw file: a copy of the rest after every short
    // write would cost a file that takes a byte at a time the square of the batch.
    bool write_whole(PyObject* piece) {
        Py_ssize_t size = PyBytes_GET_SIZE(piece);
        Ref view;
        Ref rest = Ref::borrow(piece);
        for (Py_ssize_t done = 0; done < size;) {
            PyObject* arg = rest.get();
            Ref result = Ref::steal(PyObject_Vectorcall(write_, &arg, 1, nullptr));
            if (!result) {
                return blocked_by_exception();
            }
            Py_ssize_t taken = this->taken(result.get(), size - done);
            if (taken < 0) {
                return false;
            }
            done += taken;
            written_ += taken;
            if (done < size) {
                if (!view && !(view = Ref::steal(PyMemoryView_FromObject(piece)))) {
                    return false;
                }
                rest = Ref::steal(PySequence_GetSlice(view.get(), done, size));
                if (!rest) {
                    return false;
                }
            }
        }
        return true;
    }

    // How many bytes of the given a write's result says it took; -1 with an exception
    // set where that is not a count of them. None counts as everything, as with most
    // file-like objects of one's own, except from a raw file, where it means that the
    // file is non-blocking and would block.
    Py_ssize_t taken(PyObject* result, Py_ssize_t given) {
        if (result == Py_None) {
            return blocked_by_none_ ? would_block() : given;
        }
        if (!PyLong_Check(result) || PyBool_Check(result)) {
            PyErr_Format(PyExc_TypeError, "write() returned %.200s, not the number of bytes it took",
                         Py_TYPE(result)->tp_name);
            return -1;
        }
        Py_ssize_t taken = PyLong_AsSsize_t(result);
        if (taken == -1 && PyErr_Occurred()) {
            return -1;
        }
        if (taken <= 0 || taken > given) {
            PyErr_Format(PyExc_OSError, "write() took %zd of %zd bytes", taken, given);
            return -1;
        }
        return taken;
    }

    // A non-blocking file that would block ends the stream where it stands, maybe
    // inside a record: the caller learns how far from characters_written.
    Py_ssize_t would_block() {
        Ref error = Ref::steal(PyObject_CallFunction(
            PyExc_BlockingIOError, "isn", EAGAIN,
            "write() would block: the file is non-blocking; a stream is written to a blocking file", written_));
        if (error) {
            add_taken_note(error.get());
            PyErr_SetRaisedException(error.release());
        }
        return -1;
    }

    // A buffered file over a non-blocking one raises BlockingIOError itself, counting
    // only what it took of the piece it was given: its characters_written becomes what
    // it took of the whole stream.
    bool blocked_by_exception() {
        if (!PyErr_ExceptionMatches(PyExc_BlockingIOError)) {
            return false;
        }
        Ref error = Ref::steal(PyErr_GetRaisedException());
        written_ += characters_written(error.get());
        Ref total = Ref::steal(PyLong_FromSsize_t(written_));
        if (!total || PyObject_SetAttrString(error.get(), "characters_written", total.get()) < 0) {
            PyErr_Clear();  // the count of the piece stays; the note still tells the whole
        }
        add_taken_note(error.get());
        PyErr_SetRaisedException(error.release());
        return false;
    }

    // What a BlockingIOError says its file took: nothing where it says nothing.
    static Py_ssize_t characters_written(PyObject* error) {
        Ref count = Ref::steal(PyObject_GetAttrString(error, "characters_written"));
        Py_ssize_t taken = count ? PyLong_AsSsize_t(count.get()) : -1;
        if (taken < 0) {
            PyErr_Clear();
            return 0;
        }
        return taken;
    }

    void add_taken_note(PyObject* error) const {
        add_note(error, "the file took %zd bytes of the stream (characters_written), which may end inside a record",
                 written_);
    }

    PyObject* write_;
    Batch batch_;
    Py_ssize_t limit_;
    bool blocked_by_none_;
    Py_ssize_t written_ = 0;
};

// write_records(write, records, serialize, frame, limit, blocked_by_none) -> bytes written
//
// Calls serialize on each record of the iterable records and writes the results as a
// stream: batches of about limit bytes framed by frame (a list of bytes to a list
// record) and passed to write. Only whole records are written: when a record fails,
// the ones before it are written and its exception is raised with a note that gives
// its index. blocked_by_none: write is a raw file's, whose None means it would block.
PyObject* write_records(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 6) {
        PyErr_SetString(PyExc_TypeError, "write_records(write, records, serialize, frame, limit, blocked_by_none)");
        return nullptr;
    }
    Py_ssize_t limit = PyLong_AsSsize_t(args[4]);
    int blocked_by_none = PyObject_IsTrue(args[5]);
    if ((limit == -1 && PyErr_Occurred()) || blocked_by_none < 0) {
        return nullptr;
    }
    Ref iterator = Ref::steal(PyObject_GetIter(args[1]));
    if (!iterator) {
        return nullptr;
    }
    Writer writer(args[0], args[2], args[3], limit, blocked_by_none != 0);
    if (!writer.write_all(iterator.get())) {
        return nullptr;
    }
    return PyLong_FromSsize_t(writer.written());
}

// next_batch(iterator, serialize, frame, limit, first_index)
//     -> (piece, count, failure, done)
//
// The writer's loop for callers that write each piece themselves (an asyncio
// connection): serializes records of iterator until about limit bytes, its end (done)
// or a failure, and returns the count records serialized before it framed as one piece
// of the stream. failure is the exception of the iterator or of a record, the record's
// with a note giving its index (first_index + count), else None.
PyObject* next_batch(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 5) {
        PyErr_SetString(PyExc_TypeError, "next_batch(iterator, serialize, frame, limit, first_index)");
        return nullptr;
    }
    Py_ssize_t limit = PyLong_AsSsize_t(args[3]);
    Py_ssize_t first_index = PyLong_AsSsize_t(args[4]);
    if (PyErr_Occurred()) {
        return nullptr;
    }
    Batch batch(args[1], args[2]);
    if (!batch.start()) {
        return nullptr;
    }
    Ref failure = Ref::borrow(Py_None);
    bool done = false;
    Py_ssize_t count = 0;
    while (batch.bytes() < limit) {
        Ref item = Ref::steal(PyIter_Next(args[0]));
        if (!item) {
            done = !PyErr_Occurred();
            if (!done) {
                failure = Ref::steal(PyErr_GetRaisedException());
            }
            break;
        }
        if (!batch.add(item.get())) {
            failure = Ref::steal(PyErr_GetRaisedException());
            add_note(failure.get(), "while writing record %zd of the iterable", first_index + count);
            break;
        }
        ++count;
    }
    Ref piece = batch.take();
    if (!piece) {
        raised_after(std::move(failure));
        return nullptr;
    }
    return Py_BuildValue("(OnOO)", piece.get(), count, failure.get(), done ? Py_True : Py_False);
}

PyMethodDef methods[] = {
    {"read_records", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(read_records)), METH_FASTCALL,
     nullptr},
    {"write_records", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(write_records)), METH_FASTCALL,
     nullptr},
    {"next_batch", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(next_batch)), METH_FASTCALL, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// Nothing here is shared between calls, so the module runs without the GIL; an
// iterator of the asyncio readers guards its own state.
PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(add_async_records)},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

void free_module(void* module) { clear_async_types(static_cast<PyObject*>(module)); }

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_stream", nullptr, sizeof(AsyncTypes), methods, slots, traverse_async_types,
    clear_async_types, free_module,
};

}  // namespace
}  // namespace zav::stream

PyMODINIT_FUNC PyInit__stream() { return PyModuleDef_Init(&zav::stream::module_def); }
