#pragma once

#include "common/lineentry.h"

#include <QList>
#include <QString>

class QListWidget;

namespace torvane::client {

// Label prefix of the current line; it ends with an ideographic space (U+3000).
inline const QString kCurrentLinePrefix = QStringLiteral("您目前使用的线路是　");
inline const QString kLineNotInList = QStringLiteral("目前所使用的线路不在列表内");

// Replaces the list box's names with those of the line-list file, in file order, and returns the
// lines; a missing file gives an empty list. The list box index of a name is its line's index.
QList<LineEntry> LoadLineList(const QString& path, QListWidget* list);

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
