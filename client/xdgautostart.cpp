#include "client/xdgautostart.h"

#include "client/clientlogging.h"

#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <QStandardPaths>

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

XdgAutostart::XdgAutostart(const QString& systemFolder, const QString& userFolder)
    : m_systemFolder(systemFolder.isEmpty() ? QStringLiteral("/etc/xdg/autostart") : systemFolder),
      m_userFolder(userFolder.isEmpty() ? QDir(QStandardPaths::writableLocation(
                                                   QStandardPaths::GenericConfigLocation))
                                              .filePath(QStringLiteral("autostart"))
                                        : userFolder) {}

void XdgAutostart::enable(const QString& programPath) {
    if (WriteEntry(m_systemFolder, programPath))
        return;
    if (!WriteEntry(m_userFolder, programPath))
        qCWarning(lcStartup) << "no autostart entry could be written in" << m_systemFolder << "or"
                             << m_userFolder;
}

void XdgAutostart::disable() {
    RemoveEntry(m_systemFolder);
    RemoveEntry(m_userFolder);
}

QString XdgAutostart::EntryPath(const QString& folder) {
    return QDir(folder).filePath(QStringLiteral("NetWorkDns.desktop"));
}

bool XdgAutostart::WriteEntry(const QString& folder, const QString& programPath) {
    QDir().mkpath(folder);
    const QString text = QStringLiteral("[Desktop Entry]\n"
                                        "Type=Application\n"
                                        "Name=NetWorkDns\n"
                                        "Exec=") +
                         ExecValue(programPath) +
                         QStringLiteral("\n"
                                        "Terminal=false\n"
                                        "X-GNOME-Autostart-enabled=true\n");
    QSaveFile file(EntryPath(folder));
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write(text.toUtf8());
    return file.commit();
}

std::unique_ptr<Autostart> CreatePlatformAutostart() {
    return std::make_unique<XdgAutostart>();
}

bool XdgAutostart::RemoveEntry(const QString& folder) {
    return QFile::remove(EntryPath(folder));
}

} // namespace torvane::client
