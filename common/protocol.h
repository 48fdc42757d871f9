#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

namespace torvane {

// The three messages between Client and Server, as GBK bytes. No framing: a message is its
// command word followed by its fields.
namespace Protocol {

inline const QString kReportWord = QStringLiteral("计算机信息");
inline const QString kUpdateWord = QStringLiteral("更新");
inline const QString kSwitchWord = QStringLiteral("切换");

// Report: word + G + "; " + D + ";" + N + ";" + U.
QByteArray ComposeReport(const QString& gateway, const QString& primaryDns, const QString& lineName,
                         const QString& updateFlag);

struct Report {
    QString gateway;
    QString primaryDns; // as received: keeps the blank of the "; " separator
    QString lineName;
    QString updateFlag;
    int pieceCount = 0; // pieces after the word split at ";" (4 for a well-formed report)
};
// nullopt when the bytes do not start with the report word. Pieces missing from a short report
// are empty; check pieceCount.
std::optional<Report> SplitReport(const QByteArray& bytes);
// U is compared as a number with 1.
bool ReportAsksForUpdate(const Report& report);
// A well-formed report: at least four pieces and a U that reads as a number.
bool IsCompleteReport(const Report& report);

// Update: word + the file bytes, unchanged.
QByteArray ComposeLineListUpdate(const QByteArray& fileBytes);
// Switch: word + W + ";" + P + ";" + S.
QByteArray ComposeSwitchCommand(const QString& gateway, const QString& primaryDns,
                                const QString& secondaryDns);

struct ServerMessage {
    enum class Kind { None, Update, Switch };
    Kind kind = Kind::None;
    QByteArray fileBytes; // Update: everything after the word, raw
    QString gateway;      // Switch: piece 0
    QString primaryDns;   // Switch: piece 1
    QString secondaryDns; // Switch: piece 2
    int pieceCount = 0;   // Switch: pieces after the word split at ";"
};
ServerMessage ClassifyServerMessage(const QByteArray& bytes);

} // namespace Protocol

} // namespace torvane
