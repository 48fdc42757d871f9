#include "common/linefile.h"

#include "common/gbk.h"

#include <QDir>
#include <QFile>
#include <QSaveFile>

namespace torvane {

namespace {
const QString kCrLf = QStringLiteral("\r\n");

QString ReadFileText(const QString& path) {
    return FromGbk(ReadFileBytes(path));
}

// Writes the whole file through a temporary file beside it and a rename, so a crash or a full
// disk leaves the old content whole instead of a deleted or truncated file.
bool ReplaceFileAtomically(const QString& path, const QByteArray& bytes) {
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    if (file.write(bytes) != bytes.size()) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}

QString Field(const QStringList& fields, int index) {
    return index < fields.size() ? fields.at(index) : QString();
}
} // namespace

QString LineFilePath(const QString& directory) {
    return QDir(directory).filePath(QStringLiteral("MainConfig.dat"));
}

QByteArray ReadFileBytes(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

QList<RawRecord> SplitLineRecords(const QString& text) {
    QList<RawRecord> records;
    QStringList pieces = text.split(kCrLf);
    pieces.removeLast(); // the piece after the last CR LF is never a record
    records.reserve(pieces.size());
    for (const QString& piece : pieces) {
        RawRecord record;
        record.blank = piece.isEmpty();
        record.fields = piece.split(QLatin1Char(';'));
        records.append(record);
    }
    return records;
}

QList<LineEntry> LoadLineEntries(const QString& path, int capacity) {
    QList<LineEntry> entries;
    if (!QFile::exists(path))
        return entries;
    for (const RawRecord& record : SplitLineRecords(ReadFileText(path))) {
        if (record.blank)
            continue;
        if (entries.size() >= capacity)
            break;
        const QStringList& f = record.fields;
        entries.append(LineEntry{Field(f, 0), Field(f, 1), Field(f, 2), Field(f, 3), Field(f, 4),
                                 Field(f, 5)});
    }
    return entries;
}

QString ComposeLine(const LineEntry& entry) {
    const QChar sep(QLatin1Char(';'));
    return entry.name + sep + entry.localIp + sep + entry.subnetMask + sep + entry.gateway + sep +
           entry.primaryDns + sep + entry.secondaryDns + sep;
}

bool AppendLine(const QString& path, const QString& text) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
        return false;
    const QByteArray bytes = ToGbk(text + kCrLf);
    return file.write(bytes) == bytes.size();
}

bool RewriteLineFile(const QString& path, const QString& oldText, const QString& newText,
                     bool deleteMode) {
    // A missing file reads as empty; a file that exists but cannot be read must not be
    // rewritten from nothing, which would lose every line in it.
    QFile file(path);
    if (file.exists() && !file.open(QIODevice::ReadOnly))
        return false;
    const QString text = FromGbk(file.isOpen() ? file.readAll() : QByteArray());
    QStringList pieces = text.split(kCrLf);
    QString result;
    // Every piece but the last was followed by CR LF; whole records are compared, never parts.
    for (qsizetype i = 0; i < pieces.size(); ++i) {
        const bool lastPiece = i == pieces.size() - 1;
        const QString& piece = pieces.at(i);
        if (!lastPiece && piece == oldText) {
            result += newText;
            if (!deleteMode)
                result += kCrLf;
            continue;
        }
        result += piece;
        if (!lastPiece)
            result += kCrLf;
    }
    return WriteLineFile(path, result);
}

bool WriteLineFile(const QString& path, const QString& text) {
    // The stored list ends with exactly one CR LF: a final CR LF of the text is taken off (the
    // "|" stand-in for CR LF is the file format's own rule, kept so stored bytes match).
    QString body = text;
    body.replace(kCrLf, QStringLiteral("|"));
    body.chop(1);
    body.replace(QStringLiteral("|"), kCrLf);
    return ReplaceFileAtomically(path, ToGbk(body + kCrLf));
}

bool NameBreaksRecord(const QString& name) {
    for (const QChar c : name) {
        if (c == QLatin1Char(';') || c == QLatin1Char('|') || c == QLatin1Char('\r') ||
            c == QLatin1Char('\n'))
            return true;
    }
    return false;
}

bool NameStorableInGbk(const QString& name) {
    return FromGbk(ToGbk(name)) == name;
}

bool LineNameExists(const QString& path, const QString& name) {
    for (const RawRecord& record : SplitLineRecords(ReadFileText(path))) {
        if (!record.blank && Field(record.fields, 0) == name)
            return true;
    }
    return false;
}

QList<LineEntry> LoadServerLineTable(const QString& path) {
    QList<LineEntry> rows;
    if (!QFile::exists(path))
        return rows;
    for (const RawRecord& record : SplitLineRecords(ReadFileText(path))) {
        const QStringList& f = record.fields;
        rows.append(
            LineEntry{Field(f, 0), QString(), QString(), Field(f, 3), Field(f, 4), Field(f, 5)});
    }
    return rows;
}

QString ComposeServerLine(const LineEntry& entry) {
    return entry.name + QStringLiteral(";;;") + entry.gateway + QLatin1Char(';') +
           entry.primaryDns + QLatin1Char(';') + entry.secondaryDns + QLatin1Char(';');
}

bool WriteServerLineFile(const QString& path, const QList<LineEntry>& rows) {
    if (rows.isEmpty())
        return true;
    QString text;
    for (const LineEntry& row : rows)
        text += ComposeServerLine(row) + kCrLf;
    return ReplaceFileAtomically(path, ToGbk(text));
}

} // namespace torvane
