#include "util/Gbk.h"

#include <QStringDecoder>
#include <QStringEncoder>
#include <QtGlobal>

namespace {

constexpr const char* kCodecName = "GBK";

// Stateless: every call is a complete conversion, nothing is carried into the next one.
constexpr auto kFlags = QStringConverter::Flag::Stateless;

[[noreturn]] void missingCodec() {
    qFatal("The GBK text converter is not available: this Qt build lacks ICU support, "
           "so settings files and digests cannot be made in code page 936.");
}

} // namespace

QByteArray toGbk(const QString& text) {
    // A converter is cheap next to the short texts converted here, and a local one keeps
    // the function safe to call from any thread.
    QStringEncoder encoder(kCodecName, kFlags);
    if (!encoder.isValid())
        missingCodec();
    return encoder.encode(text);
}

QString fromGbk(const QByteArray& bytes) {
    QStringDecoder decoder(kCodecName, kFlags);
    if (!decoder.isValid())
        missingCodec();
    return decoder.decode(bytes);
}
