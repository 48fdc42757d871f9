#include "client/linelist.h"

#include "common/linefile.h"

namespace torvane::client {

QList<LineEntry> LoadLineList(const QString& path) {
    return LoadLineEntries(path, kLineListSlots);
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
