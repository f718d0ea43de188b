#include "Columns.h"
#include "util/Gbk.h"
#include "util/Md5Digest.h"

#include <QFile>
#include <QRegularExpression>
#include <QtTest>

// Digests must match those already stored in settings files, so the reference values come from
// the independently made vectors in the fixtures folder, not from this code.
class TestMd5 : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void fixtureVectors_data();
    void fixtureVectors();
    void shortFormForOtherLengths_data();
    void shortFormForOtherLengths();
    void limitIsInBytes_data();
    void limitIsInBytes();
    void alwaysUppercaseHex();
};

void TestMd5::fixtureVectors_data() {
    // byteLength: -1 where the row does not state it
    columns<QString, QString, QString, int>("input", "digest32", "digest16", "byteLength");

    QFile file(QStringLiteral(VORNIK_FIXTURES "/digest-vectors.tsv"));
    QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(file.fileName()));
    const QRegularExpression repeated(QStringLiteral("^(.+) x (\\d+)$"));
    const QRegularExpression bytesNote(QStringLiteral("(\\d+) bytes"));
    int rows = 0;
    for (const QString& line : QString::fromUtf8(file.readAll()).split(u'\n')) {
        if (line.isEmpty() || line.startsWith(u'#'))
            continue;
        const QStringList f = line.split(u'\t');
        QCOMPARE(f.size(), 4);
        QString input = f[0];
        if (const auto m = repeated.match(input); m.hasMatch())
            input = m.captured(1).repeated(m.captured(2).toInt());
        const auto b = bytesNote.match(f[3]);
        row(qPrintable(f[3]), input, f[1], f[2], (b.hasMatch() ? b.captured(1).toInt() : -1));
        ++rows;
    }
    QVERIFY2(rows >= 12, "digest-vectors.tsv lost rows");
}

void TestMd5::fixtureVectors() {
    QFETCH(QString, input);
    QFETCH(QString, digest32);
    QFETCH(QString, digest16);
    QFETCH(int, byteLength);
    if (byteLength >= 0) // block-boundary rows only prove something at the stated length
        QCOMPARE(toGbk(input).size(), byteLength);
    QCOMPARE(md5Digest(input, 32).value_or(QString()), digest32);
    QCOMPARE(md5Digest(input, 16).value_or(QString()), digest16);
    QCOMPARE(md5DigestBytes(toGbk(input), 32).value_or(QString()), digest32);
}

void TestMd5::shortFormForOtherLengths_data() {
    columns<int>("digestLength");
    for (int n : {16, 0, -1, 31, 33, 64, 32767})
        QTest::addRow("%d", n) << n;
}

void TestMd5::shortFormForOtherLengths() {
    QFETCH(int, digestLength);
    QCOMPARE(md5Digest(QStringLiteral("abc"), digestLength).value_or(QString()),
             QStringLiteral("F3854BF31F7DE372"));
}

void TestMd5::limitIsInBytes_data() {
    columns<QString, bool>("text", "accepted");
    row("32767 ASCII", QString(32767, u'a'), true);
    row("32768 ASCII", QString(32768, u'a'), false);
    // Double-byte characters count twice, so the limit is reached at half as many characters.
    row("16383 Chinese + 1", QString(16383, u'中') + u'a', true);
    row("16384 Chinese", QString(16384, u'中'), false);
}

void TestMd5::limitIsInBytes() {
    QFETCH(QString, text);
    QFETCH(bool, accepted);
    const Result<QString> digest = md5Digest(text, 32);
    QCOMPARE(digest.ok(), accepted);
    if (accepted)
        QCOMPARE(digest.value().size(), 32);
    else
        QVERIFY2(digest.error().description.contains(u"溢出"), qPrintable(digest.error().description));
    // A refusal must leave nothing behind for the next call.
    QCOMPARE(md5Digest(QStringLiteral("abc"), 32).value_or(QString()),
             QStringLiteral("489BF104F3854BF31F7DE37299BE6813"));
}

void TestMd5::alwaysUppercaseHex() {
    const QRegularExpression upperHex(QStringLiteral("^[0-9A-F]{32}$"));
    QByteArray bytes;
    for (int n = 0; n < 200; ++n, bytes += char(n * 37)) {
        const QString digest = md5DigestBytes(bytes, 32).value_or(QString());
        QVERIFY2(upperHex.match(digest).hasMatch(), qPrintable(digest));
    }
}

QTEST_APPLESS_MAIN(TestMd5)
#include "tst_md5.moc"
