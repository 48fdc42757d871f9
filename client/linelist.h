#pragma once

#include "common/lineentry.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

namespace torvane::client {

// Label prefix of the current line; it ends with an ideographic space (U+3000).
inline const QString kCurrentLinePrefix = QStringLiteral("您目前使用的线路是　");
inline const QString kLineNotInList = QStringLiteral("目前所使用的线路不在列表内");

// The lines of the line-list file in file order, as many as the list has slots; a missing file
// gives an empty list. A line's index is the index of its name in the main window's list.
QList<LineEntry> LoadLineList(const QString& path);

// The part of a line-list update that ends with its last CR LF: a record still open at the end
// (an update cut short on the way) is dropped, never stored as a line. An empty update is an
// empty list; one that holds nothing but an open record is no list at all (nullopt). GBK never
// uses the bytes of CR LF inside a character, so the bytes can be cut as they are.
std::optional<QByteArray> CompleteRecords(const QByteArray& update);

struct CurrentLine {
    int index = -1;    // -1 when no line matches
    QString name;      // empty when no line matches
    QString labelText; // what the current-line label shows
};

// The first line whose gateway and primary DNS equal the adapter's (exact text comparison);
// local IP, mask and secondary DNS take no part.
CurrentLine FindCurrentLine(const QList<LineEntry>& lines, const QString& gateway,
                            const QString& primaryDns);

} // namespace torvane::client
