#include "common/gbk.h"

#include <QStringDecoder>
#include <QStringEncoder>
#include <QtGlobal>

namespace torvane {

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

} // namespace torvane
