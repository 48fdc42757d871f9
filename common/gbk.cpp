#include "common/gbk.h"

#include <QtGlobal>

#ifdef Q_OS_WIN
#include <windows.h>

#include <algorithm>
#else
#include <QStringDecoder>
#include <QStringEncoder>
#endif

namespace torvane {

#ifdef Q_OS_WIN
namespace {
// Windows converts through its own table for code page 936 (the Chinese ANSI code page), at any
// system locale; Qt's GBK codec would need ICU, which this build does without.
constexpr UINT kGbkCodePage = 936;

// Files and messages are capped far below this; a longer text is converted up to here only
// (the conversion functions count in int).
constexpr int kMaxLength = 256 * 1024 * 1024;
} // namespace

QByteArray ToGbk(const QString& text) {
    const int length = int(std::min<qsizetype>(text.size(), kMaxLength));
    const auto* wide = reinterpret_cast<LPCWCH>(text.utf16());
    const int need = length > 0 ? WideCharToMultiByte(kGbkCodePage, 0, wide, length, nullptr, 0,
                                                      nullptr, nullptr)
                                : 0;
    if (need <= 0)
        return {};
    QByteArray out(need, Qt::Uninitialized);
    WideCharToMultiByte(kGbkCodePage, 0, wide, length, out.data(), need, nullptr, nullptr);
    return out;
}

QString FromGbk(const QByteArray& bytes) {
    const int length = int(std::min<qsizetype>(bytes.size(), kMaxLength));
    const int need =
        length > 0 ? MultiByteToWideChar(kGbkCodePage, 0, bytes.constData(), length, nullptr, 0)
                   : 0;
    if (need <= 0)
        return {};
    QString out(need, Qt::Uninitialized);
    MultiByteToWideChar(kGbkCodePage, 0, bytes.constData(), length,
                        reinterpret_cast<LPWSTR>(out.data()), need);
    return out;
}
#else
namespace {
void RequireValid(bool valid) {
    // Without GBK every file and message would be garbled: refuse to run at all.
    if (!valid)
        qFatal("GBK codec is not available in this Qt build");
}

// Opening a codec by name is costly (a converter lookup each time); keep one per thread and
// reset it before every use, so no state carries over between texts.
QStringEncoder& Encoder() {
    thread_local QStringEncoder encoder("GBK");
    RequireValid(encoder.isValid());
    encoder.resetState();
    return encoder;
}

QStringDecoder& Decoder() {
    thread_local QStringDecoder decoder("GBK");
    RequireValid(decoder.isValid());
    decoder.resetState();
    return decoder;
}
} // namespace

QByteArray ToGbk(const QString& text) {
    return Encoder().encode(text);
}

QString FromGbk(const QByteArray& bytes) {
    return Decoder().decode(bytes);
}
#endif

} // namespace torvane
