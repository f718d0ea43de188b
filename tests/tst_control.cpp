#include "Columns.h"
#include "FakeClock.h"
#include "Seams.h"
#include "control/ListBox.h"
#include "control/uVornik.h"
#include "ui/Twips.h"
#include "util/WindowSettings.h"

#include <QtTest>
#include <QtWidgets>

namespace {

QRect pixels(const QRect& twips) {
    return QRect(twipsToPixels(twips.x()), twipsToPixels(twips.y()), twipsToPixels(twips.width()),
                 twipsToPixels(twips.height()));
}

QWidget* named(uVornik& c, const QString& name) {
    QWidget* w = c.findChild<QWidget*>(name);
    if (!w)
        qFatal("no child %s", qPrintable(name));
    return w;
}

// Shown and active, so access keys and Tab reach the control as they would on a desktop.
void showActive(QWidget& w) {
    w.show();
    w.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&w));
}

// Whether `panel` is what a click at its centre would hit, i.e. nothing lies above it there.
bool onTop(uVornik& c, QWidget* panel) {
    QWidget* hit = c.childAt(panel->geometry().center());
    return hit && (hit == panel || panel->isAncestorOf(hit));
}

// A list a few rows high, shown.
void showSmall(ListBox& list) {
    list.resize(300, 120);
    list.show();
    QVERIFY(QTest::qWaitForWindowExposed(&list));
}

// "t0", "t1", … "t<n-1>".
QStringList titles(int n) {
    QStringList out;
    out.reserve(n);
    for (int i = 0; i < n; ++i)
        out << QStringLiteral("t%1").arg(i);
    return out;
}

} // namespace

class TestControl : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // The design's children as a person meets them at the start: place, caption, shown or not (a
    // sample of the widgets, every menu entry). Scaling moves lefts and widths with the width only;
    // a child moved by hand (a dragged panel) gets its design place back.
    void design_data() {
        // twips: relative to the container; none for a menu entry
        // caption: null where the child has none
        columns<QRect, QString, bool>("twips", "caption", "shown");
        auto row = [](const char* name, QRect twips, const QString& caption, bool shown = true) {
            ::row(name, twips, caption, shown);
        };
        row("TxtTitle", {0, 0, 11655, 480},
            QStringLiteral("Skarvel - 版本号：") + QStringLiteral(VORNIK_VERSION_TEXT));
        row("Label1", {11880, 240, 360, 180}, "设置");
        row("txtSearchKey", {120, 480, 11415, 375}, "");
        row("cmdSearch", {11640, 480, 975, 375}, "查询[&F]");
        row("CmdTestS", {-999, -999, 1, 1}, "Test[&S]");
        row("PicSplit", {0, 4920, 12735, 70}, {}); // 70 twips are no whole pixel
        row("List1", {120, 5040, 12495, 1110}, {});
        row("TxtTS", {120, 6120, 12495, 375}, "");
        row("PicControlS", {1440, 1440, 9735, 3615}, {}, false);
        row("CmdControl_0", {480, 480, 1935, 375}, "下载Mysql驱动32");
        row("CmdControl_2", {4560, 480, 1935, 375}, "回收站…", false); // until the server keeps a history
        row("ChkControl_0", {120, 960, 1455, 255}, "只查文件名");
        row("PicTestS", {4320, 1680, 6615, 2895}, {}, false);
        row("CmdTest_4", {240, 1440, 1335, 615}, "增加TXT");
        row("Menu_0", {}, "增加TXT");
        row("Menu_1", {}, "删除TXT");
        row("Menu_2", {}, "修改TXT");
        row("Menu_3", {}, "-");
        row("Menu_4", {}, "导出文件名");
        row("Menu_5", {}, "导出所有TXT", false); // only while titles-only is off
        row("Menu_6", {}, "-", false);
        row("Menu_7", {}, "历史版本…", false);
    }
    void design() {
        QFETCH(QRect, twips);
        QFETCH(QString, caption);
        QFETCH(bool, shown);
        QFile::remove(windowSettingsPath()); // the design's start, not one kept from an earlier run
        uVornik c;
        QCOMPARE(c.size(), QSize(853, 437));
        if (auto* entry = c.findChild<QAction*>(QTest::currentDataTag())) {
            QCOMPARE(entry->isSeparator() ? QStringLiteral("-") : entry->text(), caption);
            QCOMPARE(entry->isVisible(), shown);
            return;
        }
        QWidget* w = named(c, QTest::currentDataTag());
        if (!caption.isNull())
            QCOMPARE(w->property("text").toString(), caption);
        QCOMPARE(!w->isHidden(), shown);
        const QRect atDesign = pixels(twips);
        QCOMPARE(w->geometry(), atDesign);

        c.show();
        c.resize(c.width() * 2, c.height());
        const auto doubled = [](int px) { return twipsToPixels(2.0 * pixelsToTwips(px)); };
        QCOMPARE(w->geometry(),
                 QRect(doubled(atDesign.x()), atDesign.y(), doubled(atDesign.width()), atDesign.height()));

        w->setGeometry(3, 4, 50, 60);
        w->raise();
        c.resize(c.width(), 0); // collapsed, then back: restored from the record
        c.resize(853, 437);
        QCOMPARE(w->geometry(), atDesign);
    }

    // Alt+S reaches the out-of-view test button wherever the focus is in the control, toggles the
    // panel each time, raises it over the control panel, and leaves the focus where it was.
    void altS_data() {
        columns<QString, QSize>("focus", "size");
        row("search box, design size", "txtSearchKey", QSize(853, 437));
        row("list, shrunk", "List1", QSize(400, 300));
    }
    void altS() {
        QFETCH(QString, focus);
        QFETCH(QSize, size);
        uVornik c;
        showActive(c);
        c.resize(size);
        named(c, focus)->setFocus();
        c.Label1_Click(); // the control panel lies under the test panel's place
        QVERIFY(onTop(c, c.PicControlS));

        QTest::keyClick(QApplication::focusWidget(), Qt::Key_S, Qt::AltModifier);
        QTRY_VERIFY(!c.PicTestS->isHidden());
        QVERIFY(onTop(c, c.PicTestS));
        QTest::qWait(250); // one press, one toggle
        QVERIFY(!c.PicTestS->isHidden());
        QCOMPARE(QApplication::focusWidget(), named(c, focus));

        QTest::keyClick(QApplication::focusWidget(), Qt::Key_S, Qt::AltModifier);
        QTRY_VERIFY(c.PicTestS->isHidden());
        QVERIFY(!c.PicControlS->isHidden());
    }

    void showStatus_data() {
        // messages: written in this order, at the same instant
        columns<QDateTime, QStringList, QString>("at", "messages", "expected");
        const QDateTime morning(QDate(2024, 3, 7), QTime(9, 5, 3));
        row("replaced, same second", morning, QStringList{"正在读取数据:0", "正在读取数据:1"},
            "2024-03-07 09:05:03 正在读取数据:1");
        row("empty message", morning, QStringList{""}, "2024-03-07 09:05:03 ");
        row("24-hour clock", QDateTime(QDate(2023, 12, 31), QTime(23, 59, 59)), QStringList{"x"},
            "2023-12-31 23:59:59 x");
    }
    void showStatus() {
        QFETCH(QDateTime, at);
        QFETCH(QStringList, messages);
        QFETCH(QString, expected);
        FakeClock clock;
        clock.at = at;
        ScopedSeam clockSeam(setAppClock, &clock);
        uVornik c;
        for (const QString& m : messages)
            c.ShowStatus(m);
        QCOMPARE(c.TxtTS->text(), expected);
    }

    // A status write is no hidden point where other handlers run: those are the co_awaits.
    void showStatusNeverYields() {
        uVornik c;
        bool ran = false;
        QMetaObject::invokeMethod(
            &c, [&] { ran = true; }, Qt::QueuedConnection);
        c.ShowStatus("x");
        QVERIFY(!ran);
        QTRY_VERIFY(ran);
    }

    // "设置" opens the control panel on a click only, and brings it over the test panel.
    void label1_data() {
        columns<Qt::MouseButton, bool, bool>("button", "releasedOutside", "opens");
        row("left click", Qt::LeftButton, false, true);
        row("right click", Qt::RightButton, false, false);
        row("released outside", Qt::LeftButton, true, false);
    }
    void label1() {
        QFETCH(Qt::MouseButton, button);
        QFETCH(bool, releasedOutside);
        QFETCH(bool, opens);
        uVornik c;
        c.show();
        c.CmdTestS_Click();
        QTest::mousePress(c.Label1, button, {}, QPoint(2, 2));
        QTest::mouseRelease(c.Label1, button, {}, releasedOutside ? QPoint(-20, 40) : QPoint(3, 3));
        QCOMPARE(!c.PicControlS->isHidden(), opens);
        if (opens)
            QVERIFY(onTop(c, c.PicControlS));
    }

    void tabOrder_data() {
        // order: from the search box, Tab after Tab, back to it
        columns<bool, bool, QStringList>("controlPanel", "testPanel", "order");
        const QStringList head{"cmdSearch", "RTBox", "List1", "TxtTS", "Label1"};
        const QStringList control{"CmdControl_0", "CmdControl_1", "ChkControl_0", "CmdControl_99"};
        const QStringList test{"CmdTest_0", "CmdTest_1", "CmdTest_2", "CmdTest_3", "CmdTest_4", "CmdTest_99"};
        const QStringList tail{"TxtTitle", "txtSearchKey"};
        row("panels hidden", false, false, head + tail);
        row("both panels", true, true, head + control + test + tail);
    }
    void tabOrder() {
        QFETCH(bool, controlPanel);
        QFETCH(bool, testPanel);
        QFETCH(QStringList, order);
        uVornik c;
        showActive(c);
        QCOMPARE(QApplication::focusWidget(), c.txtSearchKey);
        c.PicControlS->setVisible(controlPanel);
        c.PicTestS->setVisible(testPanel);
        QStringList seen;
        for (qsizetype i = 0; i < order.size(); ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            seen << QApplication::focusWidget()->objectName();
        }
        QCOMPARE(seen, order);
    }

    // The keys move the selection as in a list box of one column.
    void listKeys_data() {
        // expected: from row 50 of 100
        columns<int, int, int>("key", "modifiers", "expected");
        row("down", int(Qt::Key_Down), 0, 51);
        row("up", int(Qt::Key_Up), 0, 49);
        row("home", int(Qt::Key_Home), 0, 0);
        row("end", int(Qt::Key_End), 0, 99);
        row("ctrl+home", int(Qt::Key_Home), int(Qt::ControlModifier), 0);
        row("ctrl+end", int(Qt::Key_End), int(Qt::ControlModifier), 99);
        row("left stays", int(Qt::Key_Left), 0, 50);
        row("right stays", int(Qt::Key_Right), 0, 50);
    }
    void listKeys() {
        QFETCH(int, key);
        QFETCH(int, modifiers);
        QFETCH(int, expected);
        ListBox list;
        showSmall(list);
        const TextColumn texts(titles(100));
        list.showRows(texts, texts.size());
        list.selectRow(50);
        QSignalSpy changed(&list, &ListBox::selectedRowChanged);
        QTest::keyClick(&list, Qt::Key(key), Qt::KeyboardModifiers(modifiers));
        QCOMPARE(list.selectedRow(), expected);
        QCOMPARE(changed.size(), expected == 50 ? 0 : 1);
    }

    // A loading search hands the list its rows in growing steps and yields between them. Wherever
    // the user has scrolled, the rows there are placed at once: they show and take a click before
    // the event loop turns again, and the arrow keys go on from them.
    void listedRowsAreClickableAtOnce_data() {
        columns<int>("total");
        row("a few", 40);
        row("a hundred thousand", 100000);
        row("three hundred thousand", 300000);
    }
    void listedRowsAreClickableAtOnce() {
        QFETCH(int, total);
        ListBox list;
        showSmall(list);
        const TextColumn texts(titles(total));
        for (qsizetype shown = 16; shown < total;) {
            shown = std::min<qsizetype>(total, shown * 4);
            list.showRows(texts, shown);
            QCOMPARE(list.count(), int(shown));
            const int row = int(shown / 2);
            list.scrollTo(list.model()->index(row, 0), QAbstractItemView::PositionAtTop);
            const QModelIndex top = list.indexAt(QPoint(4, 2));
            QCOMPARE(top.row(), row);
            QTest::mouseClick(list.viewport(), Qt::LeftButton, {}, list.visualRect(top).center());
            QCOMPARE(list.selectedRow(), row);
            QCOMPARE(list.selectedText(), texts.at(row));
            QTest::keyClick(&list, Qt::Key_Down);
            QCOMPARE(list.selectedRow(), row + 1);
        }
    }
};

QTEST_MAIN(TestControl)
#include "tst_control.moc"
