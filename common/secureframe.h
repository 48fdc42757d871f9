#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

namespace torvane {

// Frames of the secure channel: magic, version, type, a 32-bit length and the payload. The
// legacy messages never pass through here; they keep their own port and their own reader.
namespace SecureFrame {

inline constexpr char kMagic[4] = {'T', 'V', 'S', 'C'};
inline constexpr quint8 kVersion = 1;
inline constexpr int kHeaderSize = 10;

enum class Type : quint8 {
    Hello = 0x01,
    Challenge = 0x02,
    Proof = 0x03,
    Accept = 0x04,
    Report = 0x10,
    LineListUpdate = 0x11,
    SwitchCommand = 0x12,
    HealthReport = 0x13,
    RollbackReport = 0x14,
};
bool IsKnownType(quint8 type);

// What a Client may send is small; what the Server sends may carry a whole line list.
inline constexpr int kServerReadCap = 4 * 1024;   // payload bound on the Server's side
inline constexpr int kClientReadCap = 256 * 1024; // payload bound on the Client's side

struct Frame {
    Type type = Type::Hello;
    QByteArray payload;
    QByteArray header; // the ten bytes as received; message tags cover them
};

QByteArray EncodeHeader(Type type, qsizetype payloadSize);
QByteArray Encode(Type type, const QByteArray& payload);

// Cuts a byte stream into frames. The first bad header poisons the reader for good: the owner
// drops the connection, so nothing after it is worth reading.
class Reader {
public:
    explicit Reader(int payloadCap) : m_cap(payloadCap) {}

    // Adds received bytes; returns the frames they completed, in order. Once failed, returns
    // nothing and keeps nothing.
    QList<Frame> feed(const QByteArray& bytes);

    bool failed() const { return !m_error.isEmpty(); }
    QString error() const { return m_error; }
    qsizetype pendingBytes() const { return m_buffer.size(); }

private:
    bool checkHeader();

    int m_cap;
    QByteArray m_buffer;
    QString m_error;
};

} // namespace SecureFrame

} // namespace torvane
