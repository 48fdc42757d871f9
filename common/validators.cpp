#include "common/validators.h"

#include <QRegularExpression>

namespace torvane {

namespace {
bool MatchesWhole(const QRegularExpression& pattern, const QString& text) {
    return pattern.match(text).hasMatch();
}
} // namespace

bool IsIpAddress(const QString& text) {
    // \d would also take non-ASCII digits; the octets are ASCII digits only.
    static const QRegularExpression pattern(
        QStringLiteral("\\A(?:(?:[0-9]{1,2}|1[0-9][0-9]|2[0-4][0-9]|25[0-5])\\.){3}"
                       "(?:[0-9]{1,2}|1[0-9][0-9]|2[0-4][0-9]|25[0-5])\\z"),
        QRegularExpression::CaseInsensitiveOption);
    return MatchesWhole(pattern, text);
}

bool IsDigits(const QString& text) {
    static const QRegularExpression pattern(QStringLiteral("\\A[0-9]+\\z"),
                                            QRegularExpression::CaseInsensitiveOption);
    return MatchesWhole(pattern, text);
}

} // namespace torvane
