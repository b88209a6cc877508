// libFuzzer target that writes hostile objects with zav.serializer's writers.
//
// Each input is a recipe that fuzz/objects_driver.py (found on PYTHONPATH) turns into a
// container and the objects in it: sequences whose __len__ lies and whose __getitem__
// raises or changes them, objects whose __str__, __hash__ and __eq__ raise, change the
// container or give odd results, keys that collide with text keys, values of every type.
// The driver calls _serialize_dict, _serialize_list or encode on it, on both output paths
// of the writers, and holds the outcomes against its reference model; it raises on any
// difference. This target adds what Python code cannot see, through the built-in module
// _objfuzz:
//   call(fn, arg)  calls fn through its vectorcall slot, as the interpreter would, and
//                  stops the run when fn returns a result with an exception pending, or
//                  fails without one (the interpreter would turn either into a
//                  SystemError, or assert in a debug build);
//   guard()        called first by every method of the hostile objects: stops the run
//                  when Python code is entered with an exception pending.
#include "embedded.h"

#include <cstdint>
#include <cstdio>

namespace {

using zav::Ref;
using zav::fuzz::attribute;
using zav::fuzz::checked;
using zav::fuzz::fail;

Ref run_recipe;  // objects_driver.run

PyObject* guard(PyObject*, PyObject*) {
    if (PyErr_Occurred()) {
        fail("Python code entered with an exception pending");
    }
    Py_RETURN_NONE;
}

// Shows obj's repr; the repr's own failure, if any, is dropped.
void print_object(const char* label, PyObject* obj) {
    std::fprintf(stderr, "%s: ", label);
    if (PyObject_Print(obj, stderr, 0) < 0) {
        PyErr_Clear();
    }
    std::fprintf(stderr, "\n");
}

PyObject* call(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 2) {
        PyErr_SetString(PyExc_TypeError, "call(fn, arg) takes two arguments");
        return nullptr;
    }
    vectorcallfunc function = PyVectorcall_Function(args[0]);
    if (function == nullptr) {
        PyErr_SetString(PyExc_TypeError, "call(fn, arg): fn has no vectorcall slot");
        return nullptr;
    }
    PyObject* result = function(args[0], args + 1, 1, nullptr);
    if (result != nullptr && PyErr_Occurred()) {
        Ref pending = Ref::steal(PyErr_GetRaisedException());
        print_object("function", args[0]);
        print_object("argument", args[1]);
        print_object("result", result);
        PyErr_SetRaisedException(pending.release());
        fail("the call returned a result with an exception pending (shown below)");
    }
    if (result == nullptr && !PyErr_Occurred()) {
        fail("call failed without an exception");
    }
    return result;
}

PyMethodDef objfuzz_methods[] = {
    {"guard", guard, METH_NOARGS, nullptr},
    {"call", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(call)), METH_FASTCALL,
     nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef objfuzz_module = {
    PyModuleDef_HEAD_INIT, "_objfuzz", nullptr, -1, objfuzz_methods, nullptr, nullptr, nullptr,
    nullptr,
};

PyObject* init_objfuzz() { return PyModule_Create(&objfuzz_module); }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (PyImport_AppendInittab("_objfuzz", init_objfuzz) < 0) {
        fail("cannot register _objfuzz");
    }
    zav::fuzz::start_interpreter();
    Ref module = zav::fuzz::import_serializer();
    Ref driver = checked(PyImport_ImportModule("objects_driver"));
    run_recipe = attribute(driver.get(), "run");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Ref input = checked(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data),
                                                  static_cast<Py_ssize_t>(size)));
    if (!Ref::steal(PyObject_CallOneArg(run_recipe.get(), input.get()))) {
        fail("finding (the driver's report follows)");
    }
    if (PyErr_Occurred()) {
        fail("exception left pending");
    }
    return 0;
}
