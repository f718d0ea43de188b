#include "util/Gbk.h"

#include <QStringDecoder>
#include <QStringEncoder>

#include <algorithm>

namespace {

const QByteArray kCodecName = QByteArrayLiteral("GBK");
QByteArray g_codecName = kCodecName;

// Stateless: every call is a complete conversion, nothing is carried into the next one.
constexpr auto kFlags = QStringConverter::Flag::Stateless;

bool isAscii(const QString& text) {
    return std::all_of(text.begin(), text.end(), [](QChar c) { return c.unicode() < 0x80; });
}

bool isAscii(const QByteArray& bytes) {
    return std::all_of(bytes.begin(), bytes.end(),
                       [](char b) { return static_cast<unsigned char>(b) < 0x80; });
}

} // namespace

bool gbkAvailable() {
    return QStringEncoder(g_codecName.constData(), kFlags).isValid();
}

QString gbkMissingText() {
    return QStringLiteral(
        "本机的 Qt 没有 GBK 文字转换（构建时未带 ICU），中文等非 ASCII 文字无法按代码页 936 "
        "读写；请安装带 ICU 的 Qt 6");
}

QByteArray toGbk(const QString& text) {
    // A converter is cheap next to the short texts converted here, and a local one keeps
    // the function safe to call from any thread.
    QStringEncoder encoder(g_codecName.constData(), kFlags);
    if (encoder.isValid())
        return encoder.encode(text);
    QByteArray out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c.isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate())
            ++i; // one character, one substitute
        out += c.unicode() < 0x80 ? static_cast<char>(c.unicode()) : '?';
    }
    return out;
}

QString fromGbk(const QByteArray& bytes) {
    QStringDecoder decoder(g_codecName.constData(), kFlags);
    if (decoder.isValid())
        return decoder.decode(bytes);
    QString out;
    out.reserve(bytes.size());
    for (const char b : bytes)
        out += static_cast<unsigned char>(b) < 0x80 ? QChar(static_cast<ushort>(b))
                                                    : QChar(QChar::ReplacementCharacter);
    return out;
}

std::optional<QByteArray> tryToGbk(const QString& text, QString* error) {
    if (!isAscii(text) && !gbkAvailable()) {
        if (error)
            *error = gbkMissingText();
        return std::nullopt;
    }
    return toGbk(text);
}

std::optional<QString> tryFromGbk(const QByteArray& bytes, QString* error) {
    if (!isAscii(bytes) && !gbkAvailable()) {
        if (error)
            *error = gbkMissingText();
        return std::nullopt;
    }
    return fromGbk(bytes);
}

void setGbkCodecName(const QByteArray& name) {
    g_codecName = name.isEmpty() ? kCodecName : name;
}
