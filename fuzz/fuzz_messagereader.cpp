// Feeds arbitrary bytes, cut into arbitrary reads at arbitrary times, to both sides' readers and
// checks the invariants every owner relies on.
#include "common/messagereader.h"
#include "common/protocol.h"

#include <cstdint>
#include <cstdlib>

using namespace torvane;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    for (auto side : {MessageReader::Side::Server, MessageReader::Side::Client}) {
        MessageReader reader(side, MessageReader::Timing{5, 40}, 512);
        qint64 now = 0;
        std::size_t pos = 0;
        while (pos < size) {
            // First byte of each step: chunk length and the time that passes before it.
            const std::uint8_t control = data[pos++];
            const std::size_t length = std::min<std::size_t>(control & 0x1f, size - pos);
            now += (control >> 5) * 7;
            const QByteArray chunk(reinterpret_cast<const char*>(data + pos), qsizetype(length));
            pos += length;
            QList<QByteArray> messages = reader.feed(chunk, now);
            if (auto deadline = reader.deadline(); deadline && (control & 0x80))
                messages += reader.poll(*deadline);
            for (const QByteArray& message : messages) {
                if (message.isEmpty() || message.size() > 512)
                    std::abort();
                if (side == MessageReader::Side::Server) {
                    if (!Protocol::SplitReport(message))
                        std::abort();
                } else if (Protocol::ClassifyServerMessage(message).kind ==
                           Protocol::ServerMessage::Kind::None) {
                    std::abort();
                }
            }
            if (reader.pendingBytes() > 512)
                std::abort();
        }
        if (auto deadline = reader.deadline())
            reader.poll(*deadline + 10000);
    }
    return 0;
}
