#include "client/autostart.h"

#include <QDir>
#include <QFile>
#include <QSaveFile>

namespace torvane::client {

namespace {
// The Exec key of a desktop entry: a path with reserved characters goes in double quotes with
// ", `, $ and \ escaped, and every \ of the result doubled again by the string-value rule;
// "%" is a field code and is written as "%%". Without the quotes a directory with spaces
// would start a different program.
QString ExecValue(const QString& programPath) {
    static const QString reserved = QStringLiteral(" \t\n\"'\\><~|&;$*?#()`");
    bool needsQuotes = false;
    for (QChar c : programPath)
        needsQuotes = needsQuotes || reserved.contains(c);
    QString value;
    if (needsQuotes) {
        QString quoted;
        for (QChar c : programPath) {
            if (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$') ||
                c == QLatin1Char('\\'))
                quoted += QLatin1Char('\\');
            quoted += c;
        }
        value = QLatin1Char('"') + quoted + QLatin1Char('"');
    } else {
        value = programPath;
    }
    value.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
    value.replace(QLatin1Char('%'), QStringLiteral("%%"));
    value.replace(QLatin1Char('\n'), QStringLiteral("\\n"));
    value.replace(QLatin1Char('\r'), QStringLiteral("\\r"));
    value.replace(QLatin1Char('\t'), QStringLiteral("\\t"));
    return value;
}
} // namespace

QString AutostartEntryPath(const QString& folder) {
    return QDir(folder).filePath(QStringLiteral("NetWorkDns.desktop"));
}

void WriteAutostartEntry(const QString& folder, const QString& programPath) {
    QDir().mkpath(folder);
    const QString text = QStringLiteral("[Desktop Entry]\n"
                                        "Type=Application\n"
                                        "Name=NetWorkDns\n"
                                        "Exec=") +
                         ExecValue(programPath) +
                         QStringLiteral("\n"
                                        "Terminal=false\n"
                                        "X-GNOME-Autostart-enabled=true\n");
    QSaveFile file(AutostartEntryPath(folder));
    if (!file.open(QIODevice::WriteOnly))
        return;
    file.write(text.toUtf8());
    file.commit();
}

void RemoveAutostartEntry(const QString& folder) {
    QFile::remove(AutostartEntryPath(folder));
}

} // namespace torvane::client
