// Feeds arbitrary bytes, cut into arbitrary reads, to the frame reader and to sessions of both
// roles (fresh, and already open with a known key), and checks the invariants their owners rely
// on: bounded buffers, no message before the handshake, nothing after an error.
#include "common/secureframe.h"
#include "common/securesession.h"

#include <cstdint>
#include <cstdlib>

using namespace torvane;

namespace {

SecureSession::NonceSource FixedNonces(char fill) {
    return [fill] { return QByteArray(SecureSession::kNonceSize, fill); };
}

// Splits the input into reads: the first byte of each step gives the chunk length.
template <typename Feed> void Chunked(const std::uint8_t* data, std::size_t size, Feed feed) {
    std::size_t pos = 0;
    while (pos < size) {
        const std::size_t control = data[pos++];
        const std::size_t length = std::min<std::size_t>(control & 0x3f, size - pos);
        feed(QByteArray(reinterpret_cast<const char*>(data + pos), qsizetype(length)));
        pos += length;
    }
}

void Drive(SecureSession& session, const std::uint8_t* data, std::size_t size) {
    const bool openAtStart = session.isOpen();
    bool failed = false;
    Chunked(data, size, [&](const QByteArray& chunk) {
        const auto result = session.receive(chunk);
        if (failed && (!result.messages.isEmpty() || !result.toSend.isEmpty()))
            std::abort();
        // Before the handshake no byte of input can pass as a message: the proofs need the key.
        if (!openAtStart && !result.messages.isEmpty())
            std::abort();
        failed = failed || !result.error.isEmpty();
        if (failed != (session.state() == SecureSession::State::Failed))
            std::abort();
    });
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    SecureFrame::Reader reader(512);
    Chunked(data, size, [&](const QByteArray& chunk) {
        for (const SecureFrame::Frame& frame : reader.feed(chunk)) {
            if (frame.payload.size() > 512 || frame.header.size() != SecureFrame::kHeaderSize)
                std::abort();
        }
        if (reader.pendingBytes() > 512 + SecureFrame::kHeaderSize + 64)
            std::abort();
    });

    const QByteArray key = SiteKeyFromText(QStringLiteral("fuzz"));
    SecureSession server(SecureSession::Role::Server, key, FixedNonces('s'));
    Drive(server, data, size);
    SecureSession client(SecureSession::Role::Client, key, FixedNonces('c'));
    client.start();
    Drive(client, data, size);

    // Open sessions, to reach the message path: the input may still forge nothing, but it
    // exercises counters, tags and types on arbitrary frames.
    SecureSession openClient(SecureSession::Role::Client, key, FixedNonces('c'));
    SecureSession openServer(SecureSession::Role::Server, key, FixedNonces('s'));
    const auto challenge = openServer.receive(openClient.start());
    const auto proof = openClient.receive(challenge.toSend);
    const auto accept = openServer.receive(proof.toSend);
    openClient.receive(accept.toSend);
    if (!openClient.isOpen() || !openServer.isOpen())
        std::abort();
    Drive(openServer, data, size);
    Drive(openClient, data, size);
    return 0;
}
