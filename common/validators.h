#pragma once

#include <QString>

namespace torvane {

// Whole-text tests; the text is taken exactly as passed (no trimming).
bool IsIpAddress(const QString& text);
bool IsDigits(const QString& text);

} // namespace torvane
