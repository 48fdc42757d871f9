#include "common/dnsmessage.h"

#include <QUrl>

namespace torvane {
namespace {

constexpr int kHeaderBytes = 12;
constexpr int kMaxNameBytes = 253;
constexpr int kMaxLabelBytes = 63;
constexpr quint16 kTypeA = 1;
constexpr quint16 kClassIn = 1;

quint16 Read16(QByteArrayView bytes, qsizetype at) {
    return static_cast<quint16>((static_cast<uchar>(bytes[at]) << 8) |
                                static_cast<uchar>(bytes[at + 1]));
}

void Append16(QByteArray& out, quint16 value) {
    out.append(static_cast<char>(value >> 8));
    out.append(static_cast<char>(value & 0xff));
}

// Moves past one encoded name: labels up to a zero byte, or up to a compression pointer, which
// ends the name here without being followed. False when the name runs past the end or uses a
// label type that does not exist.
bool SkipName(QByteArrayView bytes, qsizetype& at) {
    while (at < bytes.size()) {
        const auto length = static_cast<uchar>(bytes[at]);
        if (length == 0) {
            ++at;
            return true;
        }
        if ((length & 0xC0) == 0xC0) {
            if (at + 2 > bytes.size())
                return false;
            at += 2;
            return true;
        }
        if ((length & 0xC0) != 0)
            return false;
        at += 1 + length;
    }
    return false;
}

} // namespace

QString DnsQueryName(const QString& name) {
    QString trimmed = name.trimmed();
    if (trimmed.endsWith(QLatin1Char('.')))
        trimmed.chop(1);
    if (trimmed.isEmpty())
        return QString();
    const QByteArray ace = QUrl::toAce(trimmed);
    if (ace.isEmpty() || ace.size() > kMaxNameBytes)
        return QString();
    for (const QByteArray& label : ace.split('.')) {
        if (label.isEmpty() || label.size() > kMaxLabelBytes)
            return QString();
    }
    return QString::fromLatin1(ace);
}

QByteArray EncodeDnsQuery(quint16 id, const QString& name) {
    const QString asked = DnsQueryName(name);
    if (asked.isEmpty())
        return QByteArray();
    QByteArray out;
    Append16(out, id);
    Append16(out, 0x0100); // a standard query, recursion desired
    Append16(out, 1);      // one question
    Append16(out, 0);
    Append16(out, 0);
    Append16(out, 0);
    for (const QByteArray& label : asked.toLatin1().split('.')) {
        out.append(static_cast<char>(label.size()));
        out.append(label);
    }
    out.append('\0');
    Append16(out, kTypeA);
    Append16(out, kClassIn);
    return out;
}

DnsAnswer ReadDnsAnswer(QByteArrayView datagram, quint16 id) {
    DnsAnswer answer;
    if (datagram.size() < kHeaderBytes)
        return answer;
    if (Read16(datagram, 0) != id) {
        answer.status = DnsAnswerStatus::OtherId;
        return answer;
    }
    const quint16 flags = Read16(datagram, 2);
    if ((flags & 0x8000) == 0) {
        answer.status = DnsAnswerStatus::NotResponse;
        return answer;
    }
    answer.rcode = flags & 0x000F;
    if (answer.rcode != 0) {
        answer.status = DnsAnswerStatus::ServerError;
        return answer;
    }
    const int questions = Read16(datagram, 4);
    const int records = Read16(datagram, 6);
    qsizetype at = kHeaderBytes;
    for (int i = 0; i < questions; ++i) {
        if (!SkipName(datagram, at) || at + 4 > datagram.size())
            return answer;
        at += 4; // type and class
    }
    // Each record must read whole: name, type, class, TTL, length and that many data bytes.
    for (int i = 0; i < records; ++i) {
        if (!SkipName(datagram, at) || at + 10 > datagram.size())
            return answer;
        const qsizetype dataBytes = Read16(datagram, at + 8);
        at += 10;
        if (at + dataBytes > datagram.size())
            return answer;
        at += dataBytes;
        ++answer.records;
    }
    answer.status = answer.records > 0 ? DnsAnswerStatus::Resolved : DnsAnswerStatus::NoRecords;
    return answer;
}

} // namespace torvane
