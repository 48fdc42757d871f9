// The Client reads DNS answers from any host that can send it a datagram: no answer may crash it
// or make it read past the datagram, and only an answer that reads whole counts as resolved.
#include "common/dnsmessage.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArrayView bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    // The id the datagram carries, so the reading goes past the id check.
    const quint16 id = size >= 2 ? static_cast<quint16>((data[0] << 8) | data[1]) : 0;
    const torvane::DnsAnswer answer = torvane::ReadDnsAnswer(bytes, id);
    // A record takes eleven bytes at the least (a root name, type, class, TTL and length).
    if (answer.records < 0 || answer.records * 11 > static_cast<int>(size))
        std::abort();
    if (answer.status == torvane::DnsAnswerStatus::Resolved && answer.records == 0)
        std::abort();
    return 0;
}
