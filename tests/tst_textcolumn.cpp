// The compact column every result is held in: what it reads back must be what a QString per row
// held, NULLs, surrogate pairs, malformed UTF-8, a column grown over many reallocations and one grown
// into the buffer of a column freed before it included.
#include "Columns.h"
#include "util/TextColumn.h"

#include <QTest>

Q_DECLARE_METATYPE(QList<QByteArray>)

class TestTextColumn : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void readsBackAsQStrings_data() {
        columns<QList<QByteArray>>("cells"); // a null QByteArray stands for NULL
        row("no rows", QList<QByteArray>{});
        row("NULL, empty, text", QList<QByteArray>{QByteArray(), "", "x", QByteArray()});
        row("surrogate pairs", QList<QByteArray>{"\xF0\x9F\x98\x80"
                                                 "a",
                                                 "中文\xF0\xA0\x80\x80"});
        row("malformed, BOM", QList<QByteArray>{"a\xE4\xB8",
                                                "\xEF\xBB\xBF"
                                                "abc",
                                                "\x80", "\xED\xA0\x80"});
        QList<QByteArray> many;
        for (int i = 0; i < 50000; ++i)
            many << (i % 7 == 0 ? QByteArray() : QByteArray(i % 13, 'a' + i % 26) + "标题");
        row("grown", many);
        // Past the size at which a column moves into a buffer a column before it let go of.
        QList<QByteArray> large[2];
        for (int i = 0; i < 300000; ++i) {
            large[0] << QByteArray::number(i).repeated(1 + i % 5) + "标题";
            large[1] << "题" + QByteArray::number(i).repeated(1 + i % 5);
        }
        row("large", large[0]);
        row("large again", large[1]);
    }
    void readsBackAsQStrings() {
        QFETCH(QList<QByteArray>, cells);
        TextColumn::Builder b;
        QStringList expected;
        for (const QByteArray& c : cells) {
            c.isNull() ? b.appendNull() : b.appendUtf8(c.constData(), c.size());
            expected << QString::fromUtf8(c);
        }
        b.append(QString()); // the end element
        expected << QString();
        const TextColumn column = b.finish();
        const TextColumn copy = column;
        QCOMPARE(copy.toStringList(), expected);
        QCOMPARE(copy.size(), cells.size() + 1);
        for (qsizetype i = 0; i < cells.size(); ++i) {
            QCOMPARE(copy.isNull(i), cells.at(i).isNull());
            QCOMPARE(copy.view(i), QStringView(expected.at(i)));
        }
        QVERIFY(!copy.isNull(cells.size()));
        QCOMPARE(copy.value(cells.size() + 1), QString());
        QCOMPARE(b.size(), 0);
    }

    void repeatedTextHasTheEmptyEndElement() {
        const TextColumn none = TextColumn::repeated(QStringLiteral("无内容"), 0);
        QCOMPARE(none.toStringList(), QStringList{QString()});
        const TextColumn three = TextColumn::repeated(QStringLiteral("无内容"), 3);
        QCOMPARE(three.toStringList(), (QStringList{"无内容", "无内容", "无内容", QString()}));
        QVERIFY(!three.isNull(0));
    }
};

QTEST_APPLESS_MAIN(TestTextColumn)
#include "tst_textcolumn.moc"
