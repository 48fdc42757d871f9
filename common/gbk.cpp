#include "gbk.h"

#include <QStringDecoder>
#include <QStringEncoder>
#include <QtGlobal>

namespace {
void RequireValid(bool valid) {
    // Without GBK every file and message would be garbled: refuse to run at all.
    if (!valid)
        qFatal("GBK codec is not available in this Qt build");
}
} // namespace

QByteArray ToGbk(const QString& text) {
    QStringEncoder encoder("GBK");
    RequireValid(encoder.isValid());
    return encoder.encode(text);
}

QString FromGbk(const QByteArray& bytes) {
    QStringDecoder decoder("GBK");
    RequireValid(decoder.isValid());
    return decoder.decode(bytes);
}
