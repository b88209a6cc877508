// libFuzzer target for the typed readers of zav.typed: arbitrary bytes through the
// native plans of a few schemas. fuzz/typed_driver.py (found on PYTHONPATH)
// loads each input and holds the outcome against the plans' Python model; it raises on
// any difference, and the run stops with its report so that libFuzzer keeps the input.
#include "embedded.h"

#include <cstdint>
#include <optional>

namespace {

std::optional<zav::fuzz::PythonDriver> driver;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    driver.emplace("typed_driver");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    driver->run(data, size);
    return 0;
}
