// Loads arbitrary bytes as MainConfig.dat with both programs' readers, then writes the result
// back and checks that it loads to the same entries. The bytes come back exactly as stored, or
// are refused as too large when they are.
#include "common/linefile.h"

#include <QTemporaryDir>

#include <cstdint>
#include <cstdlib>

using namespace torvane;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("MainConfig.dat"));
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return 0;
        file.write(reinterpret_cast<const char*>(data), qsizetype(size));
    }
    const LineFileRead file = ReadLineFile(path);
    const bool tooLarge = qint64(size) > kMaxLineFileBytes;
    if (tooLarge ? file.status != LineFileStatus::TooLarge
                 : file.bytes != QByteArray(reinterpret_cast<const char*>(data), qsizetype(size)))
        std::abort();
    const LoadedLines loaded = ReadLineEntries(path);
    if (loaded.status != file.status)
        std::abort();
    const QList<LineEntry>& entries = loaded.entries;
    const QList<LineEntry> rows = LoadServerLineTable(path);
    if (entries.size() > kLineListSlots)
        std::abort();
    LineNameExists(path, QStringLiteral("x"));

    // Entries without the characters the format cannot carry must survive a write and reload.
    QString text;
    QList<LineEntry> clean;
    for (const LineEntry& entry : entries) {
        const QString line = ComposeLine(entry);
        if (line.contains(QLatin1Char('|')) || line.contains(QLatin1Char('\r')) ||
            line.contains(QLatin1Char('\n')) || line.count(QLatin1Char(';')) != 6 ||
            line.contains(QChar(0xfffd)))
            continue;
        clean.append(entry);
        text += line + QStringLiteral("\r\n");
    }
    // Six fields each can make a record longer than it was: the list may outgrow the cap.
    const LineFileResult written = SaveLineFile(path, text);
    if (written.status == LineFileStatus::TooLarge)
        return 0;
    if (!written.ok() || LoadLineEntries(path) != clean)
        std::abort();
    (void)rows;
    return 0;
}
