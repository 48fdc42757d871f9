#pragma once

#include <QByteArray>
#include <QString>

namespace torvane {

// MainConfig.dat and the wire carry text in the Chinese ANSI code page (GBK).
QByteArray ToGbk(const QString& text);
QString FromGbk(const QByteArray& bytes);

} // namespace torvane
