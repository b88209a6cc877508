// libFuzzer target for the stream readers of zav.stream: arbitrary bytes, read through
// files whose read returns arbitrary sizes. fuzz/stream_driver.py (found on PYTHONPATH)
// reads each input and holds the outcome against the record functions; it raises on
// any difference, and the run stops with its report so that libFuzzer keeps the input.
#include "embedded.h"

#include <cstdint>
#include <optional>

namespace {

std::optional<zav::fuzz::PythonDriver> driver;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    driver.emplace("stream_driver");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    driver->run(data, size);
    return 0;
}
