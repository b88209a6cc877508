// zav._stream.AsyncRecords: the iterator of the asyncio stream readers. zav.stream reads
// a piece of the stream at a time in a coroutine of its own (refill) and hands the
// records it completes to put(); __anext__ then hands them out one by one in an
// awaitable that returns its record at once, with no coroutine made per record, which
// costs more than reading a small record. A record is let go of as it is handed out.
#include "serializer.h"

namespace zav::stream {
namespace {

struct AsyncRecords {
    PyObject_HEAD
    PyObject* refill;  // (self) -> awaitable of the next record, once put() has the records after it
    PyObject* ready_type;
    PyObject* records;   // a copy of the list put() was given, seen by no one else; nullptr before the first
    Py_ssize_t next;     // the index in it of the next record to hand out
    std::uint64_t puts;  // how many lists put() has been given: which one records is
    // The StopIteration that returns records from awaits (see stop_with).
    PyObject* stop;
};

AsyncRecords* as_records(PyObject* self) { return reinterpret_cast<AsyncRecords*>(self); }

// An awaitable that is done from the start: awaiting it returns its record.
struct Ready {
    PyObject_HEAD
    PyObject* record;    // taken by the await
    PyObject* owner;     // the AsyncRecords that handed it out
    Py_ssize_t index;    // where the record was in the owner's list
    std::uint64_t puts;  // and which list that was
};

PyObject* ready_await(PyObject* self) { return Py_NewRef(self); }

// The record, unless an await has taken it: one await in each of two threads gets it once.
PyObject* untaken_record(PyObject* self) {
    CriticalSection guard(self);
    return std::exchange(reinterpret_cast<Ready*>(self)->record, nullptr);
}

// The record, once; a second await of the same object finds none.
PyObject* take_record(PyObject* self) {
    PyObject* record = untaken_record(self);
    if (record == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "a record of a stream was awaited twice");
    }
    return record;
}

PySendResult ready_send(PyObject* self, PyObject*, PyObject** result) {
    *result = take_record(self);
    return *result != nullptr ? PYGEN_RETURN : PYGEN_ERROR;
}

// Raises StopIteration(record). The interpreter's await of an object that is no
// coroutine goes through iteration, and takes the result from the StopIteration that
// ends it: making one per record would cost as much as the rest of the await. Where no
// one else holds the iterator's own (a caller that caught one may keep it), that one is
// raised again with the record as its value, and keeps it until the next await; with
// threads free to run at once, a new one every time.
void stop_with([[maybe_unused]] AsyncRecords* owner, Ref record) {
#ifndef Py_GIL_DISABLED
    if (owner->stop != nullptr && Py_REFCNT(owner->stop) == 1) {
        // Held while the old value and traceback go: their finalizers may await another
        // record, which must then find the StopIteration taken and raise one of its own.
        Ref held = Ref::borrow(owner->stop);
        auto* stop = reinterpret_cast<PyStopIterationObject*>(held.get());
        Py_XSETREF(stop->value, record.release());
        Py_CLEAR(stop->traceback);
        Py_CLEAR(stop->context);
        Py_CLEAR(stop->cause);
        Py_CLEAR(stop->notes);
        PyErr_SetRaisedException(held.release());
        return;
    }
#endif
    Ref stop = Ref::steal(PyObject_CallOneArg(PyExc_StopIteration, record.get()));
    if (stop) {
        PyErr_SetRaisedException(stop.release());
    }
}

// An awaitable let go of without its await (a task cancelled before it ran, as
// asyncio.wait_for(..., 0) does) puts its record back, where the next __anext__ hands it
// out again, if no record has been handed out since. Otherwise it is dropped.
void give_back(Ready* ready, Ref record) {
    if (!record) {
        return;
    }
    AsyncRecords* owner = as_records(ready->owner);
    Ref none;
    {
        CriticalSection guard(ready->owner);
        if (owner->records != nullptr && owner->puts == ready->puts && owner->next == ready->index + 1) {
            none = Ref::steal(PyList_GET_ITEM(owner->records, ready->index));
            PyList_SET_ITEM(owner->records, ready->index, record.release());
            owner->next = ready->index;
        }
    }
}

PyObject* ready_next(PyObject* self) {
    Ref record = Ref::steal(take_record(self));
    if (record) {
        stop_with(as_records(reinterpret_cast<Ready*>(self)->owner), std::move(record));
    }
    return nullptr;
}

void ready_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    auto* ready = reinterpret_cast<Ready*>(self);
    give_back(ready, Ref::steal(std::exchange(ready->record, nullptr)));
    Py_DECREF(ready->owner);
    type->tp_free(self);
    Py_DECREF(type);
}

// The generator methods that trampolines other than the interpreter's own call.
PyObject* ready_send_method(PyObject* self, PyObject*) { return ready_next(self); }

PyObject* ready_throw(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 1 || nargs > 3) {
        PyErr_SetString(PyExc_TypeError, "throw() takes an exception");
        return nullptr;
    }
    if (PyExceptionInstance_Check(args[0])) {
        PyErr_SetRaisedException(Py_NewRef(args[0]));
    } else if (PyExceptionClass_Check(args[0])) {
        PyErr_SetObject(args[0], nargs > 1 ? args[1] : Py_None);
    } else {
        PyErr_SetString(PyExc_TypeError, "throw() takes an exception");
    }
    return nullptr;
}

PyObject* ready_close(PyObject* self, PyObject*) {
    give_back(reinterpret_cast<Ready*>(self), Ref::steal(untaken_record(self)));
    Py_RETURN_NONE;
}

PyMethodDef ready_methods[] = {
    {"send", ready_send_method, METH_O, nullptr},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(ready_throw)), METH_FASTCALL, nullptr},
    {"close", ready_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot ready_slots[] = {
    {Py_tp_methods, ready_methods},
    {Py_am_await, reinterpret_cast<void*>(ready_await)},
    {Py_am_send, reinterpret_cast<void*>(ready_send)},
    {Py_tp_iter, reinterpret_cast<void*>(ready_await)},
    {Py_tp_iternext, reinterpret_cast<void*>(ready_next)},
    {Py_tp_dealloc, reinterpret_cast<void*>(ready_dealloc)},
    {0, nullptr},
};

PyType_Spec ready_spec = {
    "zav._stream.Ready", sizeof(Ready), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, ready_slots,
};

// The next record of the list, taken out of it, and where it was.
struct Taken {
    Ref record;  // none when the list has none left
    Py_ssize_t index = 0;
    std::uint64_t puts = 0;
};

// The next record, the iterator's critical section held.
Taken take_next_held(AsyncRecords* self) {
    if (self->records == nullptr || self->next >= PyList_GET_SIZE(self->records)) {
        return {Ref(), 0, 0};
    }
    Py_ssize_t index = self->next++;
    Ref record = Ref::steal(PyList_GET_ITEM(self->records, index));
    PyList_SET_ITEM(self->records, index, Py_NewRef(Py_None));
    return {std::move(record), index, self->puts};
}

Taken take_next(AsyncRecords* self) {
    CriticalSection guard(reinterpret_cast<PyObject*>(self));
    return take_next_held(self);
}

PyObject* records_anext(PyObject* self) {
    AsyncRecords* records = as_records(self);
    Taken taken = take_next(records);
    if (!taken.record) {
        return PyObject_CallOneArg(records->refill, self);
    }
    auto* ready = PyObject_New(Ready, reinterpret_cast<PyTypeObject*>(records->ready_type));
    if (ready == nullptr) {
        return nullptr;
    }
    ready->record = taken.record.release();
    ready->owner = Py_NewRef(self);
    ready->index = taken.index;
    ready->puts = taken.puts;
    return reinterpret_cast<PyObject*>(ready);
}

PyObject* records_aiter(PyObject* self) { return Py_NewRef(self); }

// put(records) -> the first of them, the rest handed out by __anext__. They are kept in
// a copy: their list is read and written in place, past its end once a caller (or
// another thread) shortened its own. The first is taken before the old list goes, whose
// records' finalizers may take records too.
PyObject* records_put(PyObject* self, PyObject* list) {
    Ref own = PyList_CheckExact(list) ? Ref::steal(PyList_GetSlice(list, 0, PY_SSIZE_T_MAX)) : Ref();
    if (own && PyList_GET_SIZE(own.get()) == 0) {
        own = Ref();
    }
    if (!own) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_TypeError, "put() takes a list of at least one record");
        }
        return nullptr;
    }
    AsyncRecords* records = as_records(self);
    Ref old;
    Taken first;
    {
        CriticalSection guard(self);
        old = Ref::steal(std::exchange(records->records, own.release()));
        records->next = 0;
        ++records->puts;
        first = take_next_held(records);
    }
    return first.record.release();  // old freed outside the critical section, after the take
}

PyObject* records_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* refill = nullptr;
    if (!PyArg_ParseTuple(args, "O:AsyncRecords", &refill) || (kwargs != nullptr && PyDict_GET_SIZE(kwargs) > 0)) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_TypeError, "AsyncRecords() takes no keyword arguments");
        }
        return nullptr;
    }
    auto* state = static_cast<AsyncTypes*>(PyType_GetModuleState(type));
    if (state == nullptr) {
        return nullptr;
    }
    auto* self = reinterpret_cast<AsyncRecords*>(type->tp_alloc(type, 0));
    if (self == nullptr) {
        return nullptr;
    }
    self->refill = Py_NewRef(refill);
    self->ready_type = Py_NewRef(state->ready);
    self->stop = PyObject_CallOneArg(PyExc_StopIteration, Py_None);
    if (self->stop == nullptr) {
        Py_DECREF(self);
        return nullptr;
    }
    return reinterpret_cast<PyObject*>(self);
}

int records_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_records(self)->refill);
    Py_VISIT(as_records(self)->ready_type);
    Py_VISIT(as_records(self)->records);
    Py_VISIT(as_records(self)->stop);
    return 0;
}

int records_clear(PyObject* self) {
    Py_CLEAR(as_records(self)->refill);
    Py_CLEAR(as_records(self)->ready_type);
    Py_CLEAR(as_records(self)->records);
    Py_CLEAR(as_records(self)->stop);
    return 0;
}

void records_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    records_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyMethodDef records_methods[] = {
    {"put", records_put, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot records_slots[] = {
    {Py_am_aiter, reinterpret_cast<void*>(records_aiter)},
    {Py_am_anext, reinterpret_cast<void*>(records_anext)},
    {Py_tp_new, reinterpret_cast<void*>(records_new)},
    {Py_tp_traverse, reinterpret_cast<void*>(records_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(records_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(records_dealloc)},
    {Py_tp_methods, records_methods},
    {0, nullptr},
};

PyType_Spec records_spec = {
    "zav._stream.AsyncRecords", sizeof(AsyncRecords), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, records_slots,
};

}  // namespace

int add_async_records(PyObject* module) {
    auto* state = static_cast<AsyncTypes*>(PyModule_GetState(module));
    state->ready = PyType_FromModuleAndSpec(module, &ready_spec, nullptr);
    if (state->ready == nullptr) {
        return -1;
    }
    Ref records = Ref::steal(PyType_FromModuleAndSpec(module, &records_spec, nullptr));
    return records ? PyModule_AddType(module, reinterpret_cast<PyTypeObject*>(records.get())) : -1;
}

int traverse_async_types(PyObject* module, visitproc visit, void* arg) {
    Py_VISIT(static_cast<AsyncTypes*>(PyModule_GetState(module))->ready);
    return 0;
}

int clear_async_types(PyObject* module) {
    Py_CLEAR(static_cast<AsyncTypes*>(PyModule_GetState(module))->ready);
    return 0;
}

}  // namespace zav::stream
