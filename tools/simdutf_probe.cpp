// Linked into the module by the wheel check only (ZAV_SIMDUTF_PROBE): one call into
// simdutf as the module loads. While the sources themselves call nothing of simdutf the
// linker would drop the library, and the repaired wheel would have nothing to carry.
#include <simdutf.h>

namespace {
const bool probe_validated = simdutf::validate_utf8("zav", 3);
}
