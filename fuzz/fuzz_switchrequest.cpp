// The switching service decodes requests from unprivileged callers, the window decodes the
// service's replies: neither may crash, and a request that decodes encodes back to the same bytes.
#include "common/switchrequest.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArrayView bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    if (const auto request = torvane::DecodeSwitchRequest(bytes)) {
        torvane::CheckAdapterSettings(*request);
        if (torvane::EncodeSwitchRequest(*request) != bytes)
            std::abort();
    }
    if (const auto reply = torvane::DecodeSwitchReply(bytes)) {
        const auto again = torvane::DecodeSwitchReply(torvane::EncodeSwitchReply(*reply));
        // The text may be cut or have its line breaks replaced; the code never changes.
        if (!again || again->failure != reply->failure)
            std::abort();
    }
    return 0;
}
