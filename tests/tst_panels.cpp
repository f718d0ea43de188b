// The control panel, the test panel and the splitter; the database commands against the real server.
#include "Columns.h"
#include "ConnectShim.h"
#include "Fixture.h"
#include "FreshControl.h"
#include "ScratchDb.h"
#include "control/uVornik.h"
#include "forms/FrmDataBaseLogin.h"
#include "ui/Twips.h"
#include "util/ModulePath.h"

#include <QtTest>
#include <QtWidgets>

namespace {

// Sends one mouse event with exactly the given buttons held, as the window system would.
void sendMouse(QWidget* w, QEvent::Type type, QPoint at, Qt::MouseButton button, Qt::MouseButtons held) {
    QMouseEvent e(type, at, w->mapToGlobal(at), button, held, Qt::NoModifier);
    QCoreApplication::sendEvent(w, &e);
}

// Presses the left button at `from` inside `w` with `held` buttons down, moves the pointer to each
// of `steps` (pixels from the press point; the widget may move under it), and releases the left button.
// `lagging` gives the moves local positions taken against where the widget was at the press, as a
// window system does for a native window whose moves it has not seen yet (a busy program).
void drag(QWidget* w, QPoint from, const QList<QPoint>& steps, Qt::MouseButtons held = Qt::LeftButton,
          bool lagging = false) {
    const QPoint pressed = w->mapToGlobal(from);
    const QPoint origin = w->mapToGlobal(QPoint(0, 0));
    sendMouse(w, QEvent::MouseButtonPress, from, Qt::LeftButton, held);
    QPoint global = pressed;
    for (const QPoint& step : steps) {
        global = pressed + step;
        const QPoint local = lagging ? global - origin : w->mapFromGlobal(global);
        QMouseEvent e(QEvent::MouseMove, local, global, Qt::NoButton, held, Qt::NoModifier);
        QCoreApplication::sendEvent(w, &e);
    }
    sendMouse(w, QEvent::MouseButtonRelease, w->mapFromGlobal(global), Qt::LeftButton,
              held & ~Qt::MouseButtons(Qt::LeftButton));
}

} // namespace

class TestPanels : public QObject, WithBoxes, WithSecrets, WithDesktop, WithForms, WithPrompt, WithConfig {
    Q_OBJECT

    ScratchDb db{QStringLiteral("vornik_test_panels")};
    QTemporaryDir files;
    std::unique_ptr<uVornik> control;
    StatusLog statuses;

    QString siteFile() const { return files.path() + QStringLiteral("/site.ini"); }
    void writeFile(const QString& path, const QByteArray& bytes) {
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size());
    }
    QByteArray accountFile() const {
        return QStringLiteral(
                   "[main]\r\ndbServerIP = %1\r\ndbName = vornik_test_panels\r\ndbUse = qelmorand\r\n"
                   "dbPwd = 40628173\r\n")
            .arg(testdb::server())
            .toUtf8();
    }
    void click(QAbstractButton* b) {
        QTest::mouseClick(b, Qt::LeftButton);
        QVERIFY(handlersDone());
    }

private Q_SLOTS:
    void initTestCase() {
        START_DB();
        mConnDatabase::setSiteSettingsPath(siteFile());
        setModuleFilePath(files.path() + QStringLiteral("/lib/Vornik.so"));
    }
    void cleanupTestCase() {
        mConnDatabase::setSiteSettingsPath({});
        setModuleFilePath({});
    }

    void init() {
        CHECK_SQL(db.exec(QStringLiteral("DELETE FROM SearchTxt_Data")));
        CHECK_SQL(db.exec(ScratchDb::plainView()));
        QFile::remove(mConnDatabase::userSettingsPath());
        QFile::remove(siteFile());
        boxes.shown.clear();
        opened = FakeDesktop();
        forms.shown.clear();
        prompt.asked = 0;
        prompt.answer.reset();
        control = shownControl(statuses);
        QVERIFY(QTest::qWaitForWindowExposed(control.get()));
        db.pointSettingsHere();
    }
    void cleanup() { control.reset(); }

    // ---- control panel ----

    void closeButtonHidesControlPanel() {
        QTest::mouseClick(control->Label1, Qt::LeftButton);
        QVERIFY(control->PicControlS->isVisible());
        click(control->CmdControl[99]);
        QVERIFY(!control->PicControlS->isVisible());
        QTest::mouseClick(control->Label1, Qt::LeftButton);
        QVERIFY(control->PicControlS->isVisible());
    }

    // Log in again: the account is forgotten everywhere, the per-user file goes (never the site
    // file), the connection closes, and the next search asks again unless the site file answers.
    void logInAgain_data() {
        columns<bool, bool, bool>("userFile", "connected", "siteFile");
        row("nothing to undo", false, false, false);
        row("file and connection", true, true, false);
        row("site file supplies the account", true, true, true);
    }
    void logInAgain() {
        QFETCH(bool, userFile);
        QFETCH(bool, connected);
        QFETCH(bool, siteFile);
        if (userFile)
            writeFile(mConnDatabase::userSettingsPath(), accountFile());
        if (siteFile)
            writeFile(this->siteFile(), accountFile());
        if (connected) {
            QString err;
            QCOMPARE(mConnDatabase::ConnectDatabase(err), QStringLiteral("True"));
        }
        // What was typed into a cancelled login dialog must not survive either.
        FrmDataBaseLogin::instance()->txtdbPwd->setText(QStringLiteral("typed secret"));
        statuses.clear();

        click(control->CmdControl[1]);

        QCOMPARE(boxes.shown.size(), 1);
        QCOMPARE(boxes.shown.first().kind, QStringLiteral("information"));
        QCOMPARE(boxes.lastText(), QStringLiteral("已取消用户等信息，请重新登录！"));
        QVERIFY(statuses.isEmpty());
        QVERIFY(!QFile::exists(mConnDatabase::userSettingsPath()));
        QCOMPARE(QFile::exists(this->siteFile()), siteFile);
        QCOMPARE(sharedSession().connectionSlot()->State(), Connection::kStateClosed);
        QVERIFY(sharedSession().settings().user.isEmpty() && sharedSession().settings().password.isEmpty() &&
                sharedSession().settings().server.isEmpty() && sharedSession().settings().database.isEmpty());
        QVERIFY(FrmDataBaseLogin::instance()->txtdbPwd->text().isEmpty());
        FrmDataBaseLogin::unload();

        // The next search: asks through the login prompt (cancelled here), or uses the site file.
        control->txtSearchKey->setText(QStringLiteral("t"));
        QTest::keyClick(control->txtSearchKey, Qt::Key_Return);
        QVERIFY(handlersDone());
        QCOMPARE(prompt.asked, siteFile ? 0 : 1);
        if (siteFile)
            QCOMPARE(statusText(*control), QStringLiteral("loaded OK"));
    }

    // ---- dragging the panels ----

    // The left button alone drags; with another button held nothing moves. There are no limits,
    // and a resize of the control puts the panel back at its design place.
    void dragPanel_data() {
        // held: Qt::MouseButtons
        columns<QString, int, QPoint, bool, bool>("panel", "held", "by", "moves", "lagging");
        for (const char* panel : {"PicControlS", "PicTestS"}) {
            QTest::addRow("%s, left", panel)
                << panel << int(Qt::LeftButton) << QPoint(30, 20) << true << false;
            QTest::addRow("%s, left and right", panel)
                << panel << int(Qt::LeftButton | Qt::RightButton) << QPoint(30, 20) << false << false;
            QTest::addRow("%s, past the edge", panel)
                << panel << int(Qt::LeftButton) << QPoint(-900, -600) << true << false;
            // The panel follows the pointer, not the events' stale local positions.
            QTest::addRow("%s, events behind the moves", panel)
                << panel << int(Qt::LeftButton) << QPoint(80, 50) << true << true;
        }
    }
    void dragPanel() {
        QFETCH(QString, panel);
        QFETCH(int, held);
        QFETCH(QPoint, by);
        QFETCH(bool, moves);
        QFETCH(bool, lagging);
        auto* frame = control->findChild<DragFrame*>(panel);
        frame->show();
        frame->raise();
        const QRect design = frame->geometry();
        drag(frame, QPoint(40, 30), {by / 3, by * 2 / 3, by}, Qt::MouseButtons(held), lagging);
        QCOMPARE(frame->pos(), moves ? design.topLeft() + by : design.topLeft());
        const Panels::DragState& state = panel == QStringLiteral("PicTestS")
                                             ? control->panels().drag(Panels::Dragged::TestPanel)
                                             : control->panels().drag(Panels::Dragged::ControlPanel);
        if (moves)
            QCOMPARE(state.GrabX, Panels::kNoDrag); // released: no drag in progress

        // A move after the release drags nothing.
        const QPoint after = frame->pos();
        QMouseEvent e(QEvent::MouseMove, QPointF(50, 50), frame->mapToGlobal(QPointF(50, 50)), Qt::NoButton,
                      Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(frame, &e);
        QCOMPARE(frame->pos(), after);

        control->resize(900, 500);
        control->resize(853, 437);
        QCOMPARE(frame->geometry(), design);
    }

    // The two panels keep drag states of their own.
    void panelsDragApart() {
        control->PicControlS->show();
        control->PicTestS->show();
        sendMouse(control->PicControlS, QEvent::MouseButtonPress, QPoint(10, 12), Qt::LeftButton,
                  Qt::LeftButton);
        QCOMPARE(control->panels().drag(Panels::Dragged::ControlPanel).GrabX, 150);
        QCOMPARE(control->panels().drag(Panels::Dragged::ControlPanel).GrabY, 180);
        QCOMPARE(control->panels().drag(Panels::Dragged::TestPanel).GrabX, 0);
        QCOMPARE(control->panels().drag(Panels::Dragged::Splitter).GrabX, 0);
    }

    // ---- test panel: showing and hiding ----

    void doubleClickTogglesTestPanel() {
        QTest::mouseDClick(control->TxtTS, Qt::LeftButton);
        QVERIFY(control->PicTestS->isVisible());
        QTest::mouseDClick(control->TxtTS, Qt::LeftButton);
        QVERIFY(!control->PicTestS->isVisible());
    }

    void brexEnter_data() {
        columns<QString, int, bool>("text", "key", "toggles");
        row("brex, Enter", "brex", int(Qt::Key_Return), true);
        row("brex, keypad Enter", "brex", int(Qt::Key_Enter), true);
        row("Brex", "Brex", int(Qt::Key_Return), false);
        row("blank before", " brex", int(Qt::Key_Return), false);
        row("blank after", "brex ", int(Qt::Key_Return), false);
        row("brex, other key", "brex", int(Qt::Key_Space), false);
    }
    void brexEnter() {
        QFETCH(QString, text);
        QFETCH(int, key);
        QFETCH(bool, toggles);
        control->TxtTS->setText(text);
        control->TxtTS->setFocus();
        QTest::keyClick(control->TxtTS, Qt::Key(key));
        QCOMPARE(control->PicTestS->isVisible(), toggles);
        if (toggles) {
            control->TxtTS->setText(text);
            QTest::keyClick(control->TxtTS, Qt::Key(key));
            QVERIFY(!control->PicTestS->isVisible());
        }
    }

    // Closing a panel that holds the focus hands it to the search box, not to the next in line.
    void closeButtonHidesTestPanel_data() {
        columns<bool>("byToggle");
        row("close button", false);
        row("Alt+S", true);
    }
    void closeButtonHidesTestPanel() {
        QFETCH(bool, byToggle);
        control->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(control.get()));
        control->CmdTestS_Click();
        QVERIFY(control->PicTestS->isVisible());
        control->CmdTest[2]->setFocus();
        if (byToggle)
            QTest::keyClick(control->CmdTest[2], Qt::Key_S, Qt::AltModifier);
        else
            click(control->CmdTest[99]);
        QTRY_VERIFY(!control->PicTestS->isVisible());
        QCOMPARE(QApplication::focusWidget(), control->txtSearchKey);
    }

    // ---- test panel: commands ----

    void connectCommand_data() {
        columns<QString, QString>("password", "statusStart");
        row("connects", "40628173", "MYSQL 连接成功！");
        row("refused", "wrong", "MYSQL 连接失败！\r\nError:");
    }
    void connectCommand() {
        QFETCH(QString, password);
        QFETCH(QString, statusStart);
        sharedSession().settings().password = password;
        click(control->CmdTest[0]);
        QVERIFY2(statusText(*control).startsWith(statusStart), qPrintable(statusText(*control)));
        if (password != QStringLiteral("40628173"))
            QVERIFY(statusText(*control).contains(QStringLiteral("\r\n---")));
    }

    void connectCommandWhenOpenWritesNothing() {
        QString err;
        QCOMPARE(mConnDatabase::ConnectDatabase(err), QStringLiteral("True"));
        control->TxtTS->setText(QStringLiteral("before"));
        statuses.clear();
        click(control->CmdTest[0]);
        QVERIFY(statuses.isEmpty());
        QCOMPARE(control->TxtTS->text(), QStringLiteral("before"));
    }

    // Both listings: progress from 0 to n-1, then "loaded OK"; ids and titles line up; the view
    // listing holds no content.
    void listings_data() {
        columns<int, bool>("button", "withContent");
        row("whole table", 1, true);
        row("title view", 2, false);
    }
    void listings() {
        QFETCH(int, button);
        QFETCH(bool, withContent);
        CHECK_SQL(db.insertNumbered(0, 4));
        click(control->CmdTest[button]);
        const QStringList progress = statuses.filter(QRegularExpression(QStringLiteral("^正在读取数据:")));
        QVERIFY(!progress.isEmpty());
        QCOMPARE(progress.first(), QStringLiteral("正在读取数据:0"));
        QCOMPARE(progress.last(), QStringLiteral("正在读取数据:4"));
        QCOMPARE(statuses.last(), QStringLiteral("loaded OK"));
        QCOMPARE(control->List1->count(), 5);
        QCOMPARE(control->results().ids.size(), 6);
        for (int i = 0; i < 5; ++i) {
            const QString id = control->results().ids.at(i);
            QCOMPARE(control->results().names.at(i), QStringLiteral("t") + id);
            QCOMPARE(control->List1->text(i), QStringLiteral("t") + id);
            QCOMPARE(control->results().data.at(i),
                     withContent ? QStringLiteral("body ") + id : QStringLiteral("无内容"));
        }
    }

    // A listing with no rows, or whose statement fails, keeps the list and arrays as they were.
    void listingFailureKeepsList_data() {
        columns<QString, QString>("breakage", "reason");
        row("no rows", "DELETE FROM SearchTxt_Data", "BOF 或 EOF");
        row("view gone", "DROP VIEW VW_SearchTxt_Name", "VW_SearchTxt_Name");
    }
    void listingFailureKeepsList() {
        QFETCH(QString, breakage);
        QFETCH(QString, reason);
        CHECK_SQL(db.insertNumbered(0, 2));
        control->txtSearchKey->setText(QStringLiteral("t"));
        QTest::keyClick(control->txtSearchKey, Qt::Key_Return);
        QVERIFY(handlersDone());
        QCOMPARE(control->List1->count(), 3);
        const QStringList ids = control->results().ids.toStringList();
        CHECK_SQL(db.exec(breakage));
        click(control->CmdTest[2]);
        QVERIFY2(statusText(*control).startsWith(QStringLiteral("服务器太忙，请稍后再试，ERROR:")),
                 qPrintable(statusText(*control)));
        QVERIFY2(statusText(*control).contains(reason, Qt::CaseInsensitive),
                 qPrintable(statusText(*control)));
        QCOMPARE(control->List1->count(), 3);
        QCOMPARE(control->results().ids.toStringList(), ids);
    }

    // A search started while a listing loads supersedes it, and the other way round.
    void listingAndSearchSupersede_data() {
        columns<bool>("listingFirst");
        row("search during listing", true);
        row("listing during search", false);
    }
    void listingAndSearchSupersede() {
        QFETCH(bool, listingFirst);
        QString values;
        for (int i = 0; i < 4000; ++i)
            values += QStringLiteral("%1('%2','row %2','b','','','')")
                          .arg(i ? "," : "")
                          .arg(i, 5, 10, QLatin1Char('0'));
        CHECK_SQL(db.exec(
            QStringLiteral("INSERT INTO SearchTxt_Data (dataid,name,data,`desc`,`keys`,creator) VALUES ") +
            values));
        CHECK_SQL(db.insert(QStringLiteral("x"), QStringLiteral("only match"), QStringLiteral("z")));
        bool started = false;
        auto hook = connect(control->TxtTS, &QLineEdit::textChanged, this, [&](const QString& t) {
            if (started || !t.contains(QStringLiteral("正在读取数据:")))
                return;
            started = true;
            if (listingFirst) {
                control->txtSearchKey->setText(QStringLiteral("only match"));
                control->cmdSearch_Click();
            } else {
                control->ListAll(false);
            }
        });
        if (listingFirst) {
            control->ListAll(true);
        } else {
            control->txtSearchKey->setText(QStringLiteral("row"));
            control->cmdSearch_Click();
        }
        QVERIFY(handlersDone());
        disconnect(hook);
        QVERIFY(started);
        QCOMPARE(statusText(*control), QStringLiteral("loaded OK"));
        const int expected = listingFirst ? 1 : 4001;
        QCOMPARE(control->List1->count(), expected);
        QCOMPARE(control->results().ids.size(), expected + 1);
        QCOMPARE(statuses.count(QStringLiteral("loaded OK")), 1);
    }

    void searcher_data() {
        columns<bool, bool>("present", "starts");
        row("missing", false, true);
        row("present", true, true);
        row("present, fails to start", true, false);
    }
    void searcher() {
        QFETCH(bool, present);
        QFETCH(bool, starts);
        const QString program = files.path() + QStringLiteral("/lib/Skarvel");
        QFile::remove(program);
        if (present) {
            writeFile(program, "#!/bin/sh\n");
            QVERIFY(QFile::setPermissions(program, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        }
        opened.succeed = starts;
        click(control->CmdTest[3]);
        QCOMPARE(opened.started, present ? QStringList{program} : QStringList{});
        if (present && starts) {
            QVERIFY(statuses.isEmpty());
        } else {
            QVERIFY2(statusText(*control).startsWith(QStringLiteral("服务器太忙，请稍后再试，ERROR:")),
                     qPrintable(statusText(*control)));
            QVERIFY(statusText(*control).contains(program));
        }
    }

    void addFromTestPanel() {
        click(control->CmdTest[4]);
        QCOMPARE(forms.shown.size(), 1);
        QCOMPARE(forms.shown.first().form, QStringLiteral("add"));
    }

    // ---- splitter ----

    // The bar follows the pointer while both panes keep their minimum height; a refused move
    // leaves it at the last accepted place. The status box never moves.
    void splitter_data() {
        // steps: pointer offsets from the press point, pixels
        // barMoves: pixels, from the design place
        columns<QList<QPoint>, int, int, bool>("steps", "held", "barMoves", "lagging");
        struct Row {
            const char* name;
            QList<QPoint> steps;
            int held;
            int barMoves;
        };
        const QList<Row> rows = {
            {"down a little", {{0, 5}, {0, 10}}, Qt::LeftButton, 10},
            {"up a little", {{0, -40}}, Qt::LeftButton, -40},
            {"up in six steps",
             {{0, -10}, {0, -20}, {0, -30}, {0, -40}, {0, -50}, {0, -60}},
             Qt::LeftButton,
             -60},
            {"same height", {{7, 0}}, Qt::LeftButton, 0},
            {"right button", {{0, 20}}, Qt::RightButton, 0},
            {"two buttons", {{0, 20}}, Qt::LeftButton | Qt::RightButton, 0},
            // The viewer (top 56 px) must stay more than 450 twips (30 px) high: the bar's top stays
            // below 86 px, 242 px above its design place at 328 px.
            {"up, refused past the viewer's limit", {{0, -230}, {0, -250}}, Qt::LeftButton, -230},
            {"up, exactly at the viewer's limit", {{0, -241}, {0, -242}}, Qt::LeftButton, -241},
            // The list (below the 5 px bar) must stay more than 550 twips high above the status box at
            // 408 px: the bar's top stays above 366.3 px.
            {"down, refused past the list's limit", {{0, 30}, {0, 300}}, Qt::LeftButton, 30},
            {"down, exactly at the list's limit", {{0, 38}, {0, 39}}, Qt::LeftButton, 38},
        };
        // Each drag also with its events' local positions lagging behind the bar's moves: the bar
        // still follows the pointer exactly.
        for (bool lagging : {false, true})
            for (const Row& row : rows)
                QTest::addRow("%s%s", row.name, lagging ? ", events behind the moves" : "")
                    << row.steps << row.held << row.barMoves << lagging;
    }
    void splitter() {
        QFETCH(QList<QPoint>, steps);
        QFETCH(int, held);
        QFETCH(int, barMoves);
        QFETCH(bool, lagging);
        const QRect bar = control->PicSplit->geometry();
        const QRect viewer = control->RTBox->geometry();
        const QRect list = control->List1->geometry();
        const QRect statusBox = control->TxtTS->geometry();
        drag(control->PicSplit, QPoint(100, 2), steps, Qt::MouseButtons(held), lagging);

        QCOMPARE(control->PicSplit->geometry(), bar.translated(0, barMoves));
        QCOMPARE(control->RTBox->geometry(),
                 viewer.adjusted(0, 0, 0, barMoves ? bar.y() + barMoves - viewer.bottom() - 1 : 0));
        QCOMPARE(control->List1->y(), barMoves ? bar.bottom() + 1 + barMoves : list.y());
        QCOMPARE(control->List1->geometry().bottom(), barMoves ? statusBox.y() - 1 : list.bottom());
        QCOMPARE(control->TxtTS->geometry(), statusBox);
        QVERIFY(control->updatesEnabled());
        // The limits hold in twips.
        QVERIFY(pixelsToTwips(control->RTBox->height()) > 450);
        QVERIFY(pixelsToTwips(control->List1->height()) > 0);
    }

    // The splitter's place and the search mode are kept in window.conf for the next start, and the
    // bar keeps its share of the height when the control is resized; vornik.ini is not touched.
    void keptBetweenStarts() {
        drag(control->PicSplit, QPoint(100, 2), {{0, -40}});
        control->ChkControl[0]->setChecked(false);
        const auto share = [](const uVornik& c) {
            return double(c.PicSplit->y() - c.RTBox->y()) / (c.TxtTS->y() - c.RTBox->y());
        };
        uVornik next;
        next.resize(control->size());
        QCOMPARE(next.PicSplit->y(), control->PicSplit->y());
        QVERIFY(!next.ChkControl[0]->isChecked());
        next.resize(control->width() * 2, control->height() * 2);
        QVERIFY(qAbs(share(next) - share(*control)) < 0.01);
        QVERIFY(!QFile::exists(mConnDatabase::userSettingsPath()));
    }

    void splitterPressRoundsHalfToEven_data() {
        columns<double, int>("y", "grabY");
        row("2.5 to 2", 2.5, 2);
        row("3.5 to 4", 3.5, 4);
        row("whole", 30.0, 30);
    }
    void splitterPressRoundsHalfToEven() {
        QFETCH(double, y);
        QFETCH(int, grabY);
        control->PicSplit_MouseDown(1, 0, 10.5, y);
        QCOMPARE(control->panels().drag(Panels::Dragged::Splitter).GrabY, grabY);
        QCOMPARE(control->panels().drag(Panels::Dragged::Splitter).GrabX, 10);
        control->PicSplit_MouseDown(2, 0, 99, 99); // another button starts nothing
        QCOMPARE(control->panels().drag(Panels::Dragged::Splitter).GrabY, grabY);
    }
};

QTEST_MAIN(TestPanels)
#include "tst_panels.moc"
