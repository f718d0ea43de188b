// Where the viewer marks the search value, and F3 / Shift+F3, against the real throwaway server.
#include "Columns.h"
#include "Fixture.h"
#include "FreshControl.h"
#include "ScratchDb.h"
#include "bench/StallMeter.h"
#include "control/Highlighter.h"
#include "database/Session.h"
#include "forms/FormSupport.h"
#include "ui/LargeTextView.h"

#include <QScrollBar>
#include <QTemporaryDir>
#include <QTextEdit>
#include <QtTest>

class TestHighlight : public QObject, WithBoxes, WithConfig {
    Q_OBJECT

    ScratchDb db{QStringLiteral("vornik_test_highlight")};
    std::unique_ptr<uVornik> control;
    StatusLog statuses;

    // The only record, as the user opens it after searching for `value`.
    void open(bool titlesOnly, const QString& value) {
        search(*control, titlesOnly, value);
        QCOMPARE(control->List1->count(), 1);
        control->List1->selectRow(0);
        QVERIFY(handlersDone());
    }
    // The viewer's text with every marked stretch in brackets.
    QString marked() const {
        QString text = control->RTBox->toPlainText();
        const std::vector<int>& bounds = control->RTBox->findChild<Highlighter*>()->occurrences().bounds;
        for (size_t i = bounds.size(); i >= 2; i -= 2)
            text.insert(bounds[i - 1], u']').insert(bounds[i - 2], u'[');
        return text;
    }
    // Whether the mark's colour is painted on the box between the caret rectangles at `from` and `to`.
    bool paintedBetween(int from, int to) const {
        QTextCursor at(control->RTBox->document());
        at.setPosition(from);
        const QRect start = control->RTBox->cursorRect(at);
        at.setPosition(to);
        const QImage shown = control->RTBox->viewport()->grab().toImage();
        for (int x = start.right() + 1; x < control->RTBox->cursorRect(at).left(); ++x)
            for (int y = start.top(); y <= start.bottom(); ++y)
                if (shown.pixelColor(x, y) == QColor(0xFF, 0xEC, 0x80))
                    return true;
        return false;
    }

private Q_SLOTS:
    void initTestCase() { START_DB(); }
    void init() {
        CHECK_SQL(db.exec(QStringLiteral("DELETE FROM SearchTxt_Data")));
        control = shownControl(statuses);
        db.pointSettingsHere();
    }
    void cleanup() { control.reset(); }

    void marks_data() {
        columns<bool, QString, QString, QString, QString>("titlesOnly", "title", "body", "value", "marked");
        const QStringList rows[] = {
            {"chinese", "备份数据库命令，恢复数据", "数据", "备份[数据]库命令，恢复[数据]"},
            {"mixed case", "Git GIT gIT", "git", "[Git] [GIT] [gIT]"},
            {"accents, not full width", "café CAFE ＣＡＦＥ", "cafe", "[café] [CAFE] ＣＡＦＥ"},
            {"greek", "Σοφία ΣΟΦΙΑ", "σοφια", "[Σοφία] [ΣΟΦΙΑ]"},
            {"cyrillic ё is е", "Ёлка ЕЛКА", "елка", "[Ёлка] [ЕЛКА]"},
            {"cyrillic й is not и", "йод ИОД", "иод", "йод [ИОД]"},
            {"any character outside the BMP", "😀 x 😁", "😁", "[😀] x [😁]"},
            {"overlapping, from the left", "aaaaa", "aa", "[aa][aa]a"},
            {"underscore", "git got gut", "g_t", "[git] [got] [gut]"},
            {"percent marks the pieces", "a-b a-c-b", "a%b", "[a]-[b] [a]-c-[b]"},
            {"percent across a line end", "line one\r\nline two", "e%l", "lin[e] one\n[l]ine two"},
            {"a stored CR LF is two characters", "a\r\nb axb", "a__b", "[a\nb] axb"},
            {"at the very start and end", "ab\r\nXab", "ab", "[ab]\nX[ab]"},
            {"only wildcards", "abc", "%%", "abc"},
            {"longer than the text", "abc", "abcdef", "abc", "title abcdef"},
        };
        for (const bool titlesOnly : {true, false})
            for (const QStringList& r : rows) // name, body, value, marked, title (else the body)
                QTest::addRow("%s, %s", qPrintable(r[0]), titlesOnly ? "titles" : "full text")
                    << titlesOnly << r.value(4, r[1]) << r[1] << r[2] << r[3];
    }
    void marks() {
        QFETCH(bool, titlesOnly);
        QFETCH(QString, title);
        QFETCH(QString, body);
        QFETCH(QString, value);
        CHECK_SQL(db.insert(QStringLiteral("1"), title, body));
        open(titlesOnly, value);
        QTEST(marked(), "marked");
        QCOMPARE(control->RTBox->toPlainText(), forms::toShownText(body));
        QVERIFY(!control->RTBox->document()->isModified());
    }

    // The weight of every character of the BMP is the server's own.
    void weightsAreTheServers() {
        const QList<QStringList> rows = db.query(QStringLiteral(
            "SELECT seq, HEX(WEIGHT_STRING(CONVERT(CHAR(seq USING utf32) USING utf8mb4) COLLATE "
            "utf8mb4_general_ci)) FROM seq_0_to_65535 WHERE seq NOT BETWEEN 0xD800 AND 0xDFFF"));
        QCOMPARE(rows.size(), 0x10000 - 0x800);
        QStringList differ;
        for (const QStringList& r : rows)
            if (highlight::weight(r[0].toUInt()) != r[1].toUShort(nullptr, 16))
                differ << r[0] + u'/' + r[1];
        QVERIFY2(differ.isEmpty(), qPrintable(differ.mid(0, 20).join(u' ')));
    }

    void firstInViewCaretStays_data() {
        columns<int>("line");
        row("near the top", 2);
        row("far down, laid out later", 280);
    }
    void firstInViewCaretStays() {
        QFETCH(int, line);
        QStringList lines;
        for (int i = 1; i <= 300; ++i)
            lines << QStringLiteral("line %1 of a long record%2").arg(i).arg(i == line ? " needle" : "");
        CHECK_SQL(db.insert(QStringLiteral("1"), QStringLiteral("t"), lines.join(QStringLiteral("\r\n"))));
        open(false, QString());
        const QString plain = statusText(*control);
        open(false, QStringLiteral("needle"));
        QCOMPARE(statusText(*control), plain);
        QTextEdit* box = control->RTBox;
        QTextCursor needle(box->document());
        needle.setPosition(int(box->toPlainText().indexOf(QStringLiteral("needle"))));
        QTRY_VERIFY(box->viewport()->rect().contains(box->cursorRect(needle)));
        QCOMPARE(marked().count(u'['), 1);
        QVERIFY(paintedBetween(needle.position(), needle.position() + 6));
        QVERIFY(!paintedBetween(needle.position() - 6, needle.position() - 1));
        QCOMPARE(box->textCursor().position(), 0);
        QVERIFY(!box->textCursor().hasSelection());
        QCOMPARE(box->verticalScrollBar()->value() > 0, line > 2);
    }

    void nextAndPrevious_data() {
        // keys: F3 "+", Shift+F3 "-"
        // went: the occurrence selected after each key
        columns<QString, bool, QString, QString>("value", "inList", "keys", "went");
        const QStringList rows[] = {
            {"F3 wraps, in the box", "ab", "", "++++", "1231"},
            {"Shift+F3 goes back, in the list", "ab", "list", "--+", "323"},
            {"no value", "", "", "+-", ""},
            {"no occurrence in the body", "zz", "list", "+-", ""},
        };
        for (const QStringList& r : rows)
            QTest::addRow("%s", qPrintable(r[0])) << r[1] << !r[2].isEmpty() << r[3] << r[4];
    }
    void nextAndPrevious() {
        QFETCH(QString, value);
        QFETCH(bool, inList);
        QFETCH(QString, keys);
        QFETCH(QString, went);
        CHECK_SQL(db.insert(QStringLiteral("1"), QStringLiteral("zz"), QStringLiteral("ab x AB\r\ny ab")));
        open(false, value);
        const int starts[] = {0, 5, 10};
        const qsizetype written = statuses.size();
        for (qsizetype i = 0; i < keys.size(); ++i) {
            QTest::keyClick(inList ? static_cast<QWidget*>(control->List1) : control->RTBox, Qt::Key_F3,
                            keys[i] == u'-' ? Qt::ShiftModifier : Qt::NoModifier);
            if (went.isEmpty())
                continue;
            const int k = went[i].digitValue();
            QCOMPARE(statusText(*control), QStringLiteral("查找“ab”：第 %1 处，共 3 处").arg(k));
            QCOMPARE(control->RTBox->textCursor().selectionStart(), starts[k - 1]);
            QCOMPARE(control->RTBox->textCursor().selectedText().toLower(), QStringLiteral("ab"));
        }
        if (went.isEmpty()) {
            QCOMPARE(statuses.size(), written);
            QVERIFY(!control->RTBox->textCursor().hasSelection());
        }
    }

    // Records up to the column's limit, anybody who may add records can store, shown in the view over
    // the box: whole and exact, the figures and the caret as for any record, the marks all found. The
    // window's longest stall is measured as the benchmark measures it (its bound is asserted there).
    void largeRecords_data() {
        // line: the body is this, repeated
        // caretLine: after Ctrl+End; 0 where lines wrap
        columns<QString, int, QString, int, int>("line", "times", "value", "caretLine", "marks");
        row("8,000,000 empty lines", "\r\n", 8000000, "big", 8000001, 0);
        row("one line of 16 MB", "The quick brown fox jumps over the lazy dog. ", 355555, "big", 0, 0);
        row("1,000,000 lines", "a line of text\r\n", 1000000, "big", 1000001, 0);
        row("100,000 lines", "text\r\n", 100000, "big", 100001, 0);
        row("1 MiB, marked", "数据库 the fox 中文\r\n", 45000, "the", 45001, 45000);
    }
    void largeRecords() {
        QFETCH(QString, line);
        QFETCH(int, times);
        QFETCH(QString, value);
        QFETCH(int, caretLine);
        QFETCH(int, marks);
        CHECK_SQL(db.exec(
            QStringLiteral("INSERT INTO SearchTxt_Data (dataid,name,data) VALUES ('1','big',REPEAT(?,?))"),
            {line, times}));
        const QString stored = line.repeated(times);
        StallMeter stall;
        stall.probe = [this] { return control->TxtTS->text(); };
        stall.start();
        open(false, value);
        LargeTextView* large = LargeTextView::shownOver(control->RTBox);
        QVERIFY(large);
        const Highlighter* marker = control->RTBox->findChild<Highlighter*>();
        QTRY_VERIFY_WITH_TIMEOUT(large->wrapped() && marker->occurrences().size() == marks, 30000);
        const double stalled = stall.stop();
        qInfo("%s: the window's longest stall %.1f ms (%s)", QTest::currentDataTag(), stalled,
              qPrintable(stall.where));
        QCOMPARE(forms::toStoredText(large->text()), stored);
        const QString figures = statuses.filter(QStringLiteral("总行数")).value(0);
        QCOMPARE(figures.mid(figures.indexOf(QStringLiteral("总行数"))),
                 QStringLiteral("总行数：%1 行      字数：%2字当前位置：1行:1列")
                     .arg(stored.count(u'\n'))
                     .arg(stored.size()));
        QTest::keyClick(large, Qt::Key_End, Qt::ControlModifier);
        qint32 row = 0, column = 0;
        control->GetCaretPos(control->RTBox->winId(), row, column);
        QCOMPARE(caretLine ? row : 0, caretLine);
        if (marks) {
            QTest::keyClick(large, Qt::Key_F3, Qt::ShiftModifier); // back from the end: the last one
            QCOMPARE(statusText(*control), QStringLiteral("查找“the”：第 %1 处，共 %1 处").arg(marks));
            QCOMPARE(large->text().mid(large->selectionStart(), 3), QStringLiteral("the"));
        }
    }

    void cleanupTestCase() { sharedSession().connectionSlot().reset(); }
};

QTEST_MAIN(TestHighlight)
#include "tst_highlight.moc"
