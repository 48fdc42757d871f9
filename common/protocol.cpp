#include "common/protocol.h"

#include "common/gbk.h"
#include "common/settingvalues.h"

#include <QStringList>

namespace torvane {

namespace Protocol {

namespace {
// Everything after the command word, decoded; nullopt when the text does not start with it.
std::optional<QString> AfterWord(const QString& text, const QString& word) {
    if (!text.startsWith(word))
        return std::nullopt;
    return text.mid(word.size());
}

QString Piece(const QStringList& pieces, int index) {
    return index < pieces.size() ? pieces.at(index) : QString();
}
} // namespace

QByteArray ComposeReport(const QString& gateway, const QString& primaryDns, const QString& lineName,
                         const QString& updateFlag) {
    return ToGbk(kReportWord + gateway + QStringLiteral("; ") + primaryDns + QLatin1Char(';') +
                 lineName + QLatin1Char(';') + updateFlag);
}

std::optional<Report> SplitReport(const QByteArray& bytes) {
    const std::optional<QString> rest = AfterWord(FromGbk(bytes), kReportWord);
    if (!rest)
        return std::nullopt;
    const QStringList pieces = rest->split(QLatin1Char(';'));
    Report report;
    report.gateway = Piece(pieces, 0);
    report.primaryDns = Piece(pieces, 1);
    report.lineName = Piece(pieces, 2);
    report.updateFlag = Piece(pieces, 3);
    report.pieceCount = static_cast<int>(pieces.size());
    return report;
}

bool ReportAsksForUpdate(const Report& report) {
    return FlagIsOn(report.updateFlag);
}

bool IsCompleteReport(const Report& report) {
    bool ok = false;
    report.updateFlag.toInt(&ok);
    return report.pieceCount >= 4 && ok;
}

QByteArray ComposeLineListUpdate(const QByteArray& fileBytes) {
    return ToGbk(kUpdateWord) + fileBytes;
}

QByteArray ComposeSwitchCommand(const QString& gateway, const QString& primaryDns,
                                const QString& secondaryDns) {
    return ToGbk(kSwitchWord + gateway + QLatin1Char(';') + primaryDns + QLatin1Char(';') +
                 secondaryDns);
}

ServerMessage ClassifyServerMessage(const QByteArray& bytes) {
    ServerMessage message;
    // The file part stays raw bytes so that it is stored exactly as the server sent it.
    const QByteArray updateWord = ToGbk(kUpdateWord);
    if (bytes.startsWith(updateWord)) {
        message.kind = ServerMessage::Kind::Update;
        message.fileBytes = bytes.mid(updateWord.size());
        return message;
    }
    const std::optional<QString> rest = AfterWord(FromGbk(bytes), kSwitchWord);
    if (!rest)
        return message;
    const QStringList pieces = rest->split(QLatin1Char(';'));
    message.kind = ServerMessage::Kind::Switch;
    message.gateway = Piece(pieces, 0);
    message.primaryDns = Piece(pieces, 1);
    message.secondaryDns = Piece(pieces, 2);
    message.pieceCount = static_cast<int>(pieces.size());
    return message;
}

} // namespace Protocol

} // namespace torvane
