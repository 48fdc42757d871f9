// The Server decodes health and rollback bodies from any workstation holding the site key: no
// body may crash it, and a body that decodes encodes back to the same bytes (one reading only).
#include "common/linehealth.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArrayView bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    if (const auto health = torvane::DecodeHealthReport(bytes)) {
        if (torvane::EncodeHealthReport(*health) != bytes)
            std::abort();
    }
    if (const auto rollback = torvane::DecodeRollbackReport(bytes)) {
        if (torvane::EncodeRollbackReport(*rollback) != bytes)
            std::abort();
    }
    return 0;
}
