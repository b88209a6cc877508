// libFuzzer target for the typed readers of zav.typed: arbitrary bytes through the
// native plans of a few schemas. fuzz/typed_driver.py (found on PYTHONPATH)
// loads each input and holds the outcome against the plans' Python model; it raises on
// any difference, and the run stops with its report so that libFuzzer keeps the input.
#include "embedded.h"

#include <cstdint>

namespace {

zav::Ref run_input;  // typed_driver.run

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    zav::fuzz::start_interpreter();
    zav::Ref module = zav::fuzz::import_serializer();
    zav::Ref driver = zav::fuzz::checked(PyImport_ImportModule("typed_driver"));
    run_input = zav::fuzz::attribute(driver.get(), "run");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    zav::Ref input = zav::fuzz::checked(
        PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data), static_cast<Py_ssize_t>(size)));
    if (!zav::Ref::steal(PyObject_CallOneArg(run_input.get(), input.get()))) {
        zav::fuzz::fail("finding (the driver's report follows)");
    }
    if (PyErr_Occurred()) {
        zav::fuzz::fail("exception left pending");
    }
    return 0;
}
