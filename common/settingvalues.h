#pragma once

#include <QString>
#include <QtGlobal>

namespace torvane {

// The rules for the texts held in the settings store, shared by both programs so that a value
// written by one reads the same in the other.

// An option ("Qd", "GengXin", "QiQiu") is on when its text reads as the integer 1 (blanks
// around allowed); anything else, a text that is no number included, is off.
bool FlagIsOn(const QString& text);
// What the programs write for an option: "1" or "0".
QString FlagText(bool on);

// A port text: decimal digits only (blanks around allowed), 1..65535. 0 when it is not one, so
// "+80", "80a" and "" are all unusable.
quint16 PortFromText(const QString& text);

} // namespace torvane
