#include "common/messagereader.h"

#include "common/gbk.h"
#include "common/protocol.h"
#include "common/validators.h"

namespace torvane {

namespace {
const QByteArray& ReportWord() {
    static const QByteArray word = ToGbk(Protocol::kReportWord);
    return word;
}
const QByteArray& UpdateWord() {
    static const QByteArray word = ToGbk(Protocol::kUpdateWord);
    return word;
}
const QByteArray& SwitchWord() {
    static const QByteArray word = ToGbk(Protocol::kSwitchWord);
    return word;
}

const QByteArray kCrLf("\r\n");

// How far a command word matches the bytes at `pos`.
MessageReader::WordMatch MatchWord(const QByteArray& buffer, qsizetype pos,
                                   const QByteArray& word) {
    const qsizetype available = buffer.size() - pos;
    const qsizetype n = std::min(available, word.size());
    if (n <= 0 || QByteArrayView(buffer).sliced(pos, n) != QByteArrayView(word).first(n))
        return MessageReader::WordMatch::None;
    return n == word.size() ? MessageReader::WordMatch::Full : MessageReader::WordMatch::Prefix;
}

// Position of the n-th ';' at or after `from`, or -1.
qsizetype NthSemicolon(const QByteArray& buffer, qsizetype from, int n) {
    qsizetype pos = from - 1;
    for (int i = 0; i < n; ++i) {
        pos = buffer.indexOf(';', pos + 1);
        if (pos < 0)
            return -1;
    }
    return pos;
}
// An address that no further digit could extend into another valid address (a last octet of
// three digits, of 26 to 99, or of 00 to 09) needs no quiet time to know it has ended.
bool IsFinishedAddress(const QByteArray& field) {
    if (!IsIpAddress(QString::fromLatin1(field)))
        return false;
    const QByteArray last = field.mid(field.lastIndexOf('.') + 1);
    if (last.size() == 3)
        return true;
    return last.size() == 2 && (last.at(0) == '0' || last.toInt() >= 26);
}
} // namespace

MessageReader::MessageReader(Side side)
    : MessageReader(side, Timing{}, side == Side::Server ? kServerCap : kClientCap) {}

MessageReader::MessageReader(Side side, Timing timing, int cap)
    : m_side(side), m_timing(timing), m_cap(cap) {}

void MessageReader::reset() {
    m_buffer.clear();
    m_openEnd = false;
}

const QList<QByteArray>& MessageReader::words() const {
    static const QList<QByteArray> serverWords{ReportWord()};
    static const QList<QByteArray> clientWords{UpdateWord(), SwitchWord()};
    return m_side == Side::Server ? serverWords : clientWords;
}

MessageReader::WordMatch MessageReader::matchAnyWord(qsizetype pos,
                                                     const QByteArray** which) const {
    WordMatch best = WordMatch::None;
    for (const QByteArray& word : words()) {
        const WordMatch match = MatchWord(m_buffer, pos, word);
        if (match == WordMatch::Full) {
            if (which)
                *which = &word;
            return match;
        }
        if (match == WordMatch::Prefix)
            best = match;
    }
    return best;
}

// First position at or after `from` where a full command word starts, or where a proper prefix
// of one runs to the end of the buffer (returned through `partialAt`).
qsizetype MessageReader::findNextWord(qsizetype from, qsizetype& partialAt) const {
    partialAt = -1;
    for (qsizetype pos = from; pos < m_buffer.size(); ++pos) {
        const WordMatch match = matchAnyWord(pos, nullptr);
        if (match == WordMatch::Full)
            return pos;
        if (match == WordMatch::Prefix && partialAt < 0)
            partialAt = pos;
    }
    return -1;
}

MessageReader::Scan MessageReader::scanReport(qsizetype& length) const {
    // Word, G "; " D ";" N ";" and the one-character U: the third ';' and one character end it.
    const qsizetype third = NthSemicolon(m_buffer, ReportWord().size(), 3);
    // A new report word before the end: the first one was cut short. It ends there (and is
    // refused for its missing pieces) so that the next report still reads whole.
    const qsizetype next = m_buffer.indexOf(ReportWord(), ReportWord().size());
    if (next >= 0 && (third < 0 || next <= third + 1)) {
        length = next;
        return Scan::Complete;
    }
    if (third < 0 || third + 1 >= m_buffer.size())
        return Scan::Incomplete;
    const bool doubleByte = static_cast<unsigned char>(m_buffer.at(third + 1)) >= 0x81;
    length = third + (doubleByte ? 3 : 2);
    return length <= m_buffer.size() ? Scan::Complete : Scan::Incomplete;
}

MessageReader::Scan MessageReader::scanSwitch(qsizetype& length, bool quiet) const {
    // Word, W ";" P ";" S: S has no terminator, so it runs to the next command word or, when the
    // line has gone quiet, to the end of what arrived.
    const qsizetype second = NthSemicolon(m_buffer, SwitchWord().size(), 2);
    qsizetype partialAt = -1;
    // A command word before the second ';': this switch was cut short and ends there.
    const qsizetype early = findNextWord(SwitchWord().size(), partialAt);
    if (early >= 0 && (second < 0 || early < second)) {
        length = early;
        return Scan::Complete;
    }
    if (second < 0)
        return Scan::Incomplete;
    const qsizetype next = findNextWord(second + 1, partialAt);
    if (next >= 0) {
        length = next;
        return Scan::Complete;
    }
    if (!quiet && partialAt < 0 && IsFinishedAddress(m_buffer.mid(second + 1))) {
        length = m_buffer.size();
        return Scan::Complete;
    }
    if (!quiet)
        return Scan::OpenEnd;
    length = partialAt >= 0 ? partialAt : m_buffer.size();
    return Scan::Complete;
}

MessageReader::Scan MessageReader::scanUpdate(qsizetype& length, bool quiet) const {
    // Word and records each ended by CR LF. A command word right after a CR LF starts the next
    // message, except a "切换" that heads a whole record (six ';' before its CR LF), which is a
    // line whose name begins with that word.
    qsizetype pos = UpdateWord().size();
    while (true) {
        const qsizetype crlf = m_buffer.indexOf(kCrLf, pos);
        if (crlf < 0) {
            if (pos == m_buffer.size() && quiet) {
                length = m_buffer.size(); // ends on CR LF (or is the bare word): done
                return Scan::Complete;
            }
            // Mid-record: only the stall timeout gives it up (see poll).
            return pos == m_buffer.size() ? Scan::OpenEnd : Scan::Incomplete;
        }
        const qsizetype after = crlf + 2;
        const QByteArray* word = nullptr;
        const WordMatch match = matchAnyWord(after, &word);
        if (match == WordMatch::Prefix) {
            if (!quiet)
                return Scan::OpenEnd;
            length = after;
            return Scan::Complete;
        }
        if (match == WordMatch::Full) {
            if (*word == UpdateWord() || !headsRecord(after + word->size())) {
                length = after;
                return Scan::Complete;
            }
            if (!quiet && m_buffer.indexOf(kCrLf, after) < 0)
                return Scan::OpenEnd; // not yet known whether a record or a switch follows
            if (m_buffer.indexOf(kCrLf, after) < 0) {
                length = after;
                return Scan::Complete;
            }
        }
        pos = after;
    }
}

// True when the bytes from `from` up to the next CR LF form a record: six ';' and no command
// word in between.
bool MessageReader::headsRecord(qsizetype from) const {
    const qsizetype end = m_buffer.indexOf(kCrLf, from);
    if (end < 0)
        return true; // undecided until the CR LF or the quiet time
    const QByteArray segment = m_buffer.mid(from, end - from);
    if (segment.count(';') < 6)
        return false;
    for (const QByteArray& word : words()) {
        if (segment.contains(word))
            return false;
    }
    return true;
}

MessageReader::Scan MessageReader::scan(qsizetype& length, bool quiet) const {
    const QByteArray* word = nullptr;
    switch (matchAnyWord(0, &word)) {
    case WordMatch::None:
        return Scan::Garbage;
    case WordMatch::Prefix:
        return Scan::Incomplete;
    case WordMatch::Full:
        break;
    }
    if (*word == ReportWord())
        return scanReport(length);
    if (*word == SwitchWord())
        return scanSwitch(length, quiet);
    return scanUpdate(length, quiet);
}

void MessageReader::extract(QList<QByteArray>& out, bool quiet) {
    m_openEnd = false;
    while (!m_buffer.isEmpty()) {
        qsizetype length = 0;
        const Scan result = scan(length, quiet);
        if (result == Scan::Garbage) {
            drop();
            return;
        }
        if (result == Scan::Incomplete || result == Scan::OpenEnd) {
            m_openEnd = result == Scan::OpenEnd;
            if (m_buffer.size() > m_cap)
                drop();
            return;
        }
        QByteArray message = m_buffer.left(length);
        m_buffer.remove(0, length);
        if (message.size() > m_cap)
            ++m_dropped;
        else
            out.append(message);
    }
}

void MessageReader::drop() {
    m_buffer.clear();
    m_openEnd = false;
    ++m_dropped;
}

QList<QByteArray> MessageReader::feed(const QByteArray& bytes, qint64 nowMs) {
    QList<QByteArray> out = poll(nowMs);
    if (bytes.isEmpty())
        return out;
    m_buffer.append(bytes);
    m_lastDataMs = nowMs;
    extract(out, false);
    return out;
}

QList<QByteArray> MessageReader::poll(qint64 nowMs) {
    QList<QByteArray> out;
    if (m_buffer.isEmpty())
        return out;
    const qint64 silence = nowMs - m_lastDataMs;
    if (silence >= m_timing.quietMs)
        extract(out, true);
    if (!m_buffer.isEmpty() && silence >= m_timing.stallMs) {
        // An update cut off mid-record is taken as it stands (the reading rule ignores the open
        // record); anything else unfinished is given up.
        const QByteArray* word = nullptr;
        if (matchAnyWord(0, &word) == WordMatch::Full && *word == UpdateWord() &&
            m_buffer.size() <= m_cap) {
            out.append(m_buffer);
            m_buffer.clear();
            m_openEnd = false;
        } else {
            drop();
        }
    }
    return out;
}

std::optional<qint64> MessageReader::deadline() const {
    if (m_buffer.isEmpty())
        return std::nullopt;
    return m_lastDataMs + (m_openEnd ? m_timing.quietMs : m_timing.stallMs);
}

} // namespace torvane
