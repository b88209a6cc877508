// The kernel levels of src/kernels.h, from simdutf's choice.
#include "kernels.h"

#include <simdutf.h>

#include <cstdint>

namespace zav::kernels {

bool simdutf_avx512() {
#if defined(__x86_64__)
    constexpr std::uint32_t needed = simdutf::internal::instruction_set::AVX512BW |
                                     simdutf::internal::instruction_set::BMI2;
    return (simdutf::get_active_implementation()->required_instruction_sets() & needed) == needed;
#else
    return false;
#endif
}

}  // namespace zav::kernels
