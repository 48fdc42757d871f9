#include "common/secureframe.h"

#include <QtEndian>

namespace torvane::SecureFrame {

bool IsKnownType(quint8 type) {
    switch (static_cast<Type>(type)) {
    case Type::Hello:
    case Type::Challenge:
    case Type::Proof:
    case Type::Accept:
    case Type::Report:
    case Type::LineListUpdate:
    case Type::SwitchCommand:
    case Type::HealthReport:
    case Type::RollbackReport:
        return true;
    }
    return false;
}

QByteArray EncodeHeader(Type type, qsizetype payloadSize) {
    QByteArray header(kHeaderSize, '\0');
    std::copy(std::begin(kMagic), std::end(kMagic), header.begin());
    header[4] = char(kVersion);
    header[5] = char(type);
    qToBigEndian<quint32>(quint32(payloadSize), header.data() + 6);
    return header;
}

QByteArray Encode(Type type, const QByteArray& payload) {
    return EncodeHeader(type, payload.size()) + payload;
}

// Checks as much of the header as has arrived, so garbage is refused on its first bytes rather
// than after the peer has sent ten.
bool Reader::checkHeader() {
    const qsizetype have = std::min<qsizetype>(m_buffer.size(), kHeaderSize);
    for (qsizetype i = 0; i < std::min<qsizetype>(have, 4); ++i) {
        if (m_buffer.at(i) != kMagic[i]) {
            m_error = QStringLiteral("bad magic");
            return false;
        }
    }
    if (have > 4 && quint8(m_buffer.at(4)) != kVersion) {
        m_error = QStringLiteral("unknown version %1").arg(quint8(m_buffer.at(4)));
        return false;
    }
    if (have > 5 && !IsKnownType(quint8(m_buffer.at(5)))) {
        m_error = QStringLiteral("unknown type %1").arg(quint8(m_buffer.at(5)));
        return false;
    }
    if (have == kHeaderSize) {
        const quint32 length = qFromBigEndian<quint32>(m_buffer.constData() + 6);
        if (length > quint32(m_cap)) {
            m_error =
                QStringLiteral("frame of %1 bytes over the bound of %2").arg(length).arg(m_cap);
            return false;
        }
    }
    return true;
}

QList<Frame> Reader::feed(const QByteArray& bytes) {
    QList<Frame> frames;
    if (failed())
        return frames;
    m_buffer.append(bytes);
    while (!m_buffer.isEmpty()) {
        if (!checkHeader()) {
            m_buffer.clear();
            return frames;
        }
        if (m_buffer.size() < kHeaderSize)
            break;
        const qsizetype length = qFromBigEndian<quint32>(m_buffer.constData() + 6);
        if (m_buffer.size() < kHeaderSize + length)
            break;
        Frame frame;
        frame.header = m_buffer.first(kHeaderSize);
        frame.type = static_cast<Type>(quint8(m_buffer.at(5)));
        frame.payload = m_buffer.sliced(kHeaderSize, length);
        m_buffer.remove(0, kHeaderSize + length);
        frames.append(std::move(frame));
    }
    return frames;
}

} // namespace torvane::SecureFrame
