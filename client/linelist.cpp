#include "client/linelist.h"

#include "client/clientlogging.h"
#include "common/linefile.h"

namespace torvane::client {

QList<LineEntry> LoadLineList(const QString& path) {
    LoadedLines loaded = ReadLineEntries(path, kLineListSlots);
    // A refused file (a link, not a regular file, too large, unreadable) shows as an empty list;
    // the log says why, since nothing else tells it from a missing file.
    if (IsRefusal(loaded.status))
        qCWarning(lcLink) << "line file refused:" << path
                          << DescribeLineFileStatus(loaded.status, loaded.error);
    return std::move(loaded.entries);
}

std::optional<QByteArray> CompleteRecords(const QByteArray& update) {
    if (update.isEmpty())
        return update;
    const qsizetype lastCrLf = update.lastIndexOf("\r\n");
    if (lastCrLf < 0)
        return std::nullopt;
    return update.left(lastCrLf + 2);
}

CurrentLine FindCurrentLine(const QList<LineEntry>& lines, const QString& gateway,
                            const QString& primaryDns) {
    for (int i = 0; i < lines.size(); ++i) {
        const LineEntry& line = lines.at(i);
        if (line.primaryDns == primaryDns && line.gateway == gateway)
            return CurrentLine{i, line.name, kCurrentLinePrefix + line.name};
    }
    return CurrentLine{-1, QString(), kLineNotInList};
}

} // namespace torvane::client
