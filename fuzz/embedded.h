// What the libFuzzer targets share: the embedded interpreter, the instrumented module
// and the way a target stops with a report.
#pragma once

#include "serializer.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace zav::fuzz {

// Stops the run with a report (and the pending exception, if any), so that libFuzzer
// keeps the input.
[[noreturn]] inline void fail(const char* what) {
    std::fprintf(stderr, "%s: %s\n", program_invocation_short_name, what);
    if (PyErr_Occurred()) {
        PyErr_Print();
    }
    std::fflush(stderr);
    std::abort();
}

// Only the interpreter's own allocation failures can make these fail.
inline Ref checked(PyObject* obj) {
    if (obj == nullptr) {
        fail("interpreter call failed in the harness");
    }
    return Ref::steal(obj);
}

inline Ref attribute(PyObject* obj, const char* name) {
    return checked(PyObject_GetAttrString(obj, name));
}

inline void start_interpreter() {
    PyPreConfig pre;
    PyPreConfig_InitPythonConfig(&pre);
    // Every object a malloc block of its own, so that ASan sees each one's bounds.
    pre.allocator = PYMEM_ALLOCATOR_MALLOC;
    PyStatus status = Py_PreInitialize(&pre);
    if (PyStatus_Exception(status)) {
        Py_ExitStatusException(status);
    }
    PyConfig config;
    PyConfig_InitPythonConfig(&config);
    config.parse_argv = 0;               // the arguments are libFuzzer's
    config.install_signal_handlers = 0;  // libFuzzer owns the signals
    config.site_import = 0;
    // A fixed hash seed, so that a kept input lays out its dicts as it did when found.
    config.use_hash_seed = 1;
    config.hash_seed = 0;
    status = Py_InitializeFromConfig(&config);
    PyConfig_Clear(&config);
    if (PyStatus_Exception(status)) {
        Py_ExitStatusException(status);
    }
}

// zav.serializer, from the instrumented build that tools/fuzz.sh names in
// ZAV_FUZZ_MODULE_DIR: fuzzing an uninstrumented module by mistake would find nothing
// and look fine.
inline Ref import_serializer() {
    Ref module = checked(PyImport_ImportModule("zav.serializer"));
    Ref file = attribute(module.get(), "__file__");
    const char* path = PyUnicode_AsUTF8(file.get());
    if (path == nullptr) {
        fail("module without a file name");
    }
    std::fprintf(stderr, "%s: zav.serializer from %s\n", program_invocation_short_name, path);
    const char* expected_dir = std::getenv("ZAV_FUZZ_MODULE_DIR");
    if (expected_dir != nullptr && std::strncmp(path, expected_dir, std::strlen(expected_dir)) != 0) {
        std::fprintf(stderr, "%s: expected the module from %s\n", program_invocation_short_name,
                     expected_dir);
        std::exit(1);
    }
    return module;
}

// A target whose Python driver checks each input: the driver module's run(bytes) raises
// on any difference from its model, and the run stops with its report.
class PythonDriver {
public:
    // At LLVMFuzzerInitialize: the interpreter, the instrumented module and the driver.
    explicit PythonDriver(const char* module) {
        start_interpreter();
        import_serializer();
        Ref driver = checked(PyImport_ImportModule(module));
        run_ = attribute(driver.get(), "run");
    }

    void run(const std::uint8_t* data, std::size_t size) const {
        Ref input = checked(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data), static_cast<Py_ssize_t>(size)));
        if (!Ref::steal(PyObject_CallOneArg(run_.get(), input.get()))) {
            fail("finding (the driver's report follows)");
        }
        if (PyErr_Occurred()) {
            fail("exception left pending");
        }
    }

private:
    Ref run_;
};

}  // namespace zav::fuzz

