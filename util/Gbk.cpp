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

Result<QByteArray> tryToGbk(const QString& text) {
    if (!isAscii(text) && !gbkAvailable())
        return Status::failure(gbkMissingText());
    return toGbk(text);
}

Result<QString> tryFromGbk(const QByteArray& bytes) {
    if (!isAscii(bytes) && !gbkAvailable())
        return Status::failure(gbkMissingText());
    return fromGbk(bytes);
}

namespace {

// Writes GBK where GBK gives the text back unchanged and GB18030 elsewhere. The converters are
// reused: a character at a time, opening them would cost far more than converting.
class AnsiWriter {
public:
    bool valid() const { return gbk_.isValid() && gbkBack_.isValid() && gb18030_.isValid(); }
    bool usedGb18030() const { return usedGb18030_; }
    QByteArray& bytes() { return out_; }

    // Appends `piece` as GBK and says so when GBK holds all of it; appends nothing otherwise.
    bool addIfGbk(QStringView piece) {
        const QByteArray bytes = gbk_.encode(piece);
        // GBK turns what it lacks into "?" or drops it, so the way back shows every loss.
        if (QString(gbkBack_.decode(bytes)) != piece)
            return false;
        out_ += bytes;
        return true;
    }

    // Pieces short enough that a single emoji in a large record costs per-character work only
    // within its own piece.
    void add(QStringView text) {
        constexpr qsizetype kPiece = 1024;
        for (qsizetype at = 0; at < text.size();) {
            qsizetype n = std::min(kPiece, text.size() - at);
            if (at + n < text.size() && text.at(at + n - 1).isHighSurrogate())
                --n; // keep a surrogate pair together
            if (!addIfGbk(text.mid(at, n)))
                addEach(text.mid(at, n));
            at += n;
        }
    }

private:
    void addEach(QStringView text) {
        for (qsizetype i = 0; i < text.size();) {
            const bool pair =
                text.at(i).isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate();
            const QStringView c = text.mid(i, pair ? 2 : 1);
            i += c.size();
            if (addIfGbk(c))
                continue;
            usedGb18030_ = true;
            out_ += gb18030_.encode(c.front().isSurrogate() && !pair ? QStringView(u"\uFFFD") : c);
        }
    }

    QStringEncoder gbk_{g_codecName.constData(), kFlags};
    QStringDecoder gbkBack_{g_codecName.constData(), kFlags};
    QStringEncoder gb18030_{"GB18030", kFlags};
    QByteArray out_;
    bool usedGb18030_ = false;
};

} // namespace

Result<AnsiBytes> toAnsiBytes(const QString& text) {
    if (!gbkAvailable()) {
        Result<QByteArray> gbk = tryToGbk(text);
        if (!gbk)
            return gbk.error();
        return AnsiBytes{std::move(gbk.value()), false};
    }
    AnsiWriter writer;
    // Both converters come with ICU; should one be missing, refuse rather than write "?".
    if (!writer.valid())
        return Status::failure(gbkMissingText());
    // Almost every record is all GBK: one conversion of the whole text, no per-character work.
    if (!writer.addIfGbk(text)) {
        writer.bytes().reserve(text.size() * 2);
        writer.add(text);
    }
    return AnsiBytes{std::move(writer.bytes()), writer.usedGb18030()};
}

void setGbkCodecName(const QByteArray& name) {
    g_codecName = name.isEmpty() ? kCodecName : name;
}
