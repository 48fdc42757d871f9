#pragma once

#include <QString>

namespace torvane::client {

// Leading and trailing spaces removed (only spaces: passwords and line fields have always been
// cut so, while a tab or a full-width blank stays part of the text).
inline QString TrimSpaces(const QString& text) {
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && text.at(begin) == QLatin1Char(' '))
        ++begin;
    while (end > begin && text.at(end - 1) == QLatin1Char(' '))
        --end;
    return text.mid(begin, end - begin);
}

} // namespace torvane::client
