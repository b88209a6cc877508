// Which processor-specific kernels this process runs. simdutf picks its kernels once,
// by the processor or by SIMDUTF_FORCE_IMPLEMENTATION, and the module's own follow that
// choice, so that forcing a level forces all of them alike.
#pragma once

namespace zav::kernels {

// Whether simdutf's active kernels are AVX-512 ones (they need AVX512BW and BMI2).
bool simdutf_avx512();

// The same, asked once: inline, as the text kernels ask it for every str.
inline bool avx512() {
    static const bool chosen = simdutf_avx512();
    return chosen;
}

}  // namespace zav::kernels
