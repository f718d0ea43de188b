// The result list's popup menu and its record commands, against the real throwaway server.
#include "Columns.h"
#include "Fixture.h"
#include "FreshControl.h"
#include "ScratchDb.h"
#include "Sync.h"
#include "control/uVornik.h"
#include "database/Session.h"
#include "util/ExportName.h"
#include "util/ModulePath.h"

#include <QtTest>
#include <QtWidgets>

#include <thread>

#include <sys/inotify.h>
#include <unistd.h>

namespace {

QStringList visibleEntries(QMenu* menu) {
    QStringList out;
    for (QAction* a : menu->actions())
        if (a->isVisible())
            out << (a->isSeparator() ? QStringLiteral("-") : a->text());
    return out;
}

QByteArray readAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

} // namespace

class TestCommands : public QObject, WithBoxes, WithDesktop, WithForms, WithConfig {
    Q_OBJECT

    ScratchDb db{QStringLiteral("vornik_test_commands")};
    std::unique_ptr<QTemporaryDir> files;
    std::unique_ptr<uVornik> control;

    QString libDir() const { return files->path() + QStringLiteral("/lib dir"); }

    void search(bool titlesOnly, const QString& key) {
        ::search(*control, titlesOnly, key);
        QCOMPARE(statusText(*control), QStringLiteral("loaded OK"));
    }
    QPoint rowCentre(int row) const {
        return control->List1->visualRect(control->List1->model()->index(row, 0)).center();
    }
    void rightClick(const QPoint& at) {
        QTest::mouseClick(control->List1->viewport(), Qt::RightButton, {}, at);
        QVERIFY(handlersDone());
    }

private Q_SLOTS:
    void initTestCase() { START_DB(); }
    void cleanupTestCase() { setModuleFilePath({}); }

    void init() {
        CHECK_SQL(db.exec(QStringLiteral("DELETE FROM SearchTxt_Data")));
        files = std::make_unique<QTemporaryDir>();
        QVERIFY(QDir().mkpath(libDir()));
        setModuleFilePath(libDir() + QStringLiteral("/Vornik.so"));
        boxes.shown.clear();
        opened = FakeDesktop();
        forms.shown.clear();
        control = freshControl();
        control->show();
        QVERIFY(QTest::qWaitForWindowExposed(control.get()));
        db.pointSettingsHere();
    }
    void cleanup() {
        control.reset();
        files.reset();
    }

    // The popup opens on a right click, also over an empty list, offers "导出所有TXT" only while
    // titles-only is off, and leaves the selection where it was.
    void popup_data() {
        columns<bool, int, QStringList>("titlesOnly", "rows", "entries");
        const QStringList five{"增加TXT", "删除TXT", "修改TXT", "-", "导出文件名"};
        row("titles only", true, 3, five);
        row("full text", false, 3, five + QStringList{"导出所有TXT"});
        row("empty list, titles only", true, 0, five);
        row("empty list, full text", false, 0, five + QStringList{"导出所有TXT"});
    }
    void popup() {
        QFETCH(bool, titlesOnly);
        QFETCH(int, rows);
        QFETCH(QStringList, entries);
        CHECK_SQL(db.insertNumbered(1, rows));
        search(titlesOnly, rows ? QStringLiteral("t") : QStringLiteral("nothing matches this"));
        if (rows)
            control->List1->selectRow(1);
        QVERIFY(handlersDone());
        const QString shown = control->RTBox->toPlainText();

        rightClick(rows ? rowCentre(2) : QPoint(5, 5));
        QTRY_VERIFY(control->Menus->isVisible());
        QCOMPARE(visibleEntries(control->Menus), entries);
        QCOMPARE(control->List1->selectedRow(), rows ? 1 : -1);
        QCOMPARE(control->RTBox->toPlainText(), shown);
        control->Menus->hide();

        // A left click chooses; only the right button opens the popup.
        if (rows) {
            QTest::mouseClick(control->List1->viewport(), Qt::LeftButton, {}, rowCentre(2));
            QCOMPARE(control->List1->selectedRow(), 2);
            QVERIFY(!control->Menus->isVisible());
        }
    }

    // Choosing an entry with the mouse runs its command: here the delete, on the selected row.
    void entryClickedInPopup() {
        CHECK_SQL(db.insertNumbered(1, 3));
        search(true, QStringLiteral("t"));
        control->List1->selectRow(1);
        QVERIFY(handlersDone());
        rightClick(rowCentre(0));
        QTRY_VERIFY(control->Menus->isVisible());
        QTest::mouseClick(control->Menus, Qt::LeftButton, {},
                          control->Menus->actionGeometry(control->Menu[1]).center());
        QTRY_COMPARE(statusText(*control), QStringLiteral("删除成功"));
        QCOMPARE(db.column(QStringLiteral("dataid")), QStringList({"1", "3"}));
    }

    // The menu key opens the same popup for keyboard users.
    void popupFromKeyboard() {
        CHECK_SQL(db.insertNumbered(1, 2));
        search(true, QStringLiteral("t"));
        control->List1->setFocus();
        QTest::keyClick(control->List1, Qt::Key_Menu);
        QTRY_VERIFY(control->Menus->isVisible());
        control->Menus->hide();
    }

    // Modify and delete never act on a row the user did not choose: with nothing selected they say
    // so, open no form and run no statement. Tab into the list makes a row current, not selected.
    void nothingSelected_data() {
        columns<int, QString, QString>("entry", "how", "message");
        for (const QString& how : {QStringLiteral("no search"), QStringLiteral("not chosen"),
                                   QStringLiteral("tab into list"), QStringLiteral("deselected")}) {
            QTest::addRow("modify, %s", qPrintable(how)) << 2 << how << "请选择需要修改的TXT";
            QTest::addRow("delete, %s", qPrintable(how)) << 1 << how << "请选择需要删除的TXT";
        }
    }
    void nothingSelected() {
        QFETCH(int, entry);
        QFETCH(QString, how);
        QFETCH(QString, message);
        CHECK_SQL(db.insertNumbered(1, 2));
        if (how != QStringLiteral("no search"))
            search(false, QStringLiteral("t"));
        if (how == QStringLiteral("tab into list")) {
            control->activateWindow();
            QVERIFY(QTest::qWaitForWindowActive(control.get()));
            control->RTBox->setFocus();
            QTest::keyClick(control->RTBox, Qt::Key_Tab);
            QCOMPARE(QApplication::focusWidget(), control->List1);
            QVERIFY(control->List1->currentIndex().isValid());
            QVERIFY(control->RTBox->toPlainText().isEmpty()); // the viewer shows nothing unchosen
        }
        if (how == QStringLiteral("deselected")) {
            control->List1->selectRow(0);
            QVERIFY(handlersDone());
            QTest::mouseClick(control->List1->viewport(), Qt::LeftButton, Qt::ControlModifier, rowCentre(0));
            QCOMPARE(control->List1->selectedRow(), -1);
        }
        control->Menu_Click(entry);
        QVERIFY(handlersDone());
        QCOMPARE(boxes.shown.size(), 1);
        QCOMPARE(boxes.shown.first().kind, QStringLiteral("information"));
        QCOMPARE(boxes.lastText(), message);
        QVERIFY(forms.shown.isEmpty());
        QCOMPARE(db.column(QStringLiteral("dataid")).size(), 2);
        QVERIFY(!statusText(*control).startsWith(QStringLiteral("删除成功")));
    }

    void addOpensForm() {
        control->Menu_Click(0);
        QVERIFY(handlersDone());
        QCOMPARE(forms.shown.size(), 1);
        QCOMPARE(forms.shown.first().form, QStringLiteral("add"));
        QCOMPARE(forms.shown.first().parent, control.get());
    }

    void modifyOpensFormForSelectedRow_data() {
        columns<bool>("titlesOnly");
        row("titles", true);
        row("full text", false);
    }
    void modifyOpensFormForSelectedRow() {
        QFETCH(bool, titlesOnly);
        CHECK_SQL(db.insertNumbered(1, 3));
        search(titlesOnly, QStringLiteral("t"));
        control->List1->selectRow(2);
        QVERIFY(handlersDone());
        control->Menu_Click(2);
        QVERIFY(handlersDone());
        QCOMPARE(forms.shown.size(), 1);
        QCOMPARE(forms.shown.first().form, QStringLiteral("modify"));
        QCOMPARE(forms.shown.first().id, QStringLiteral("3"));
    }

    // With the real form: the modify command shows the selected record's own title.
    void modifyShowsRealForm() {
        CHECK_SQL(db.insertNumbered(1, 2));
        search(true, QStringLiteral("t"));
        control->List1->selectRow(1);
        QVERIFY(handlersDone());
        ScopedSeam realForms(setFormOpener, nullptr);
        QString title;
        // The form loads its record before it shows: wait for it to be the modal window.
        QTimer poll;
        connect(&poll, &QTimer::timeout, this, [&] {
            QWidget* modal = QApplication::activeModalWidget();
            if (!modal || modal->objectName() != QStringLiteral("FrmModi"))
                return;
            title = modal->findChild<QLineEdit*>(QStringLiteral("txtTitle"))->text();
            modal->close();
        });
        poll.start(10);
        control->Menu_Click(2);
        QVERIFY(handlersDone());
        QVERIFY2(boxes.shown.isEmpty(), qPrintable(boxes.lastText()));
        QCOMPARE(title, QStringLiteral("t2"));
    }

    // After a save the row shows what is now stored (the title; the body where the result holds
    // bodies), and so does the viewer; a record deleted by someone right after the save leaves them.
    void listAfterModify_data() {
        columns<bool, bool>("titlesOnly", "goneAfter");
        row("titles", true, false);
        row("full text", false, false);
        row("deleted right after the save", false, true);
    }
    void listAfterModify() {
        QFETCH(bool, titlesOnly);
        QFETCH(bool, goneAfter);
        CHECK_SQL(db.insertNumbered(1, 3));
        search(titlesOnly, QStringLiteral("t"));
        control->List1->selectRow(1);
        QVERIFY(handlersDone());
        forms.modified = ModifyOutcome::Saved;
        forms.whileShown = [&] {
            CHECK_SQL(db.exec(goneAfter
                                  ? QStringLiteral("DELETE FROM SearchTxt_Data WHERE dataid='2'")
                                  : QStringLiteral("UPDATE SearchTxt_Data SET name='new', data='new\r\nbody' "
                                                   "WHERE dataid='2'")));
        };
        control->Menu_Click(2);
        QVERIFY(handlersDone());
        forms.whileShown = nullptr;
        forms.modified = ModifyOutcome::Closed;
        const QStringList titles = goneAfter ? QStringList{"t1", "t3"} : QStringList{"t1", "new", "t3"};
        QCOMPARE(listedTitles(*control), titles);
        QCOMPARE(control->results().names.toStringList(), titles + QStringList{""});
        QCOMPARE(control->results().ids.toStringList(),
                 (goneAfter ? QStringList{"1", "3"} : QStringList{"1", "2", "3"}) + QStringList{""});
        QCOMPARE(control->results().data.at(1), goneAfter ? "body 3" : titlesOnly ? "无内容" : "new\r\nbody");
        QCOMPARE(control->RTBox->toPlainText(), goneAfter ? "" : "new\nbody");
        if (!goneAfter)
            QVERIFY2(statusText(*control).startsWith(QStringLiteral("共：1/3")),
                     qPrintable(statusText(*control)));
    }

    // A confirmed delete removes exactly the selected record, whatever its id holds, and the row
    // leaves the list, the arrays and the viewer; a cancelled one deletes nothing and changes nothing.
    void deleteSelected_data() {
        columns<QString, QString, bool, QString>("id", "title", "confirm", "expectedStatus");
        row("confirmed", "2", "第二条", true, "删除成功");
        row("quote in id", "2' or '1'='1", "quote", true, "删除成功");
        row("backslash in id", "2\\", "slash", true, "删除成功");
        row("cancelled", "2", "第二条", false, "已取消删除");
    }
    void deleteSelected() {
        QFETCH(QString, id);
        QFETCH(QString, title);
        QFETCH(bool, confirm);
        QFETCH(QString, expectedStatus);
        CHECK_SQL(db.insert(QStringLiteral("1"), QStringLiteral("a"), QStringLiteral("x")));
        CHECK_SQL(db.insert(id, title, QStringLiteral("y")));
        CHECK_SQL(db.insert(QStringLiteral("3"), QStringLiteral("c"), QStringLiteral("z")));
        search(false, QString());
        const int row = control->results().ids.toStringList().indexOf(id);
        QVERIFY(row >= 0);
        control->List1->selectRow(row);
        QVERIFY(handlersDone());
        const QStringList names = control->results().names.toStringList();
        const QStringList ids = control->results().ids.toStringList();
        boxes.shown.clear();
        boxes.answer = confirm ? MessageBoxes::Answer::Ok : MessageBoxes::Answer::Cancel;

        control->Menu_Click(1);
        QVERIFY(handlersDone());
        boxes.answer = MessageBoxes::Answer::Ok;

        QCOMPARE(boxes.shown.size(), 1);
        QCOMPARE(boxes.shown.first().kind, QStringLiteral("question"));
        QCOMPARE(boxes.lastText(), QStringLiteral("将要删除以下信息，请确定！\r\nID:") + id +
                                       QStringLiteral("\r\n标题：") + title);
        QCOMPARE(statusText(*control), expectedStatus);
        QStringList left = QStringList{"1", id, "3"};
        if (confirm)
            left.removeAll(id);
        left.sort();
        QCOMPARE(db.column(QStringLiteral("dataid")), left);
        QStringList namesLeft = names, idsLeft = ids;
        if (confirm) {
            namesLeft.removeAt(row);
            idsLeft.removeAt(row);
        }
        QCOMPARE(listedTitles(*control), namesLeft.mid(0, namesLeft.size() - 1));
        QCOMPARE(control->results().names.toStringList(), namesLeft);
        QCOMPARE(control->results().ids.toStringList(), idsLeft);
        QCOMPARE(control->RTBox->toPlainText().isEmpty(), confirm);
        // The figures count the arrays: a click on the last row says so.
        const int last = control->List1->count() - 1;
        QCOMPARE(control->List1->selectedRow(), confirm ? -1 : row);
        control->List1->selectRow(last);
        QVERIFY(handlersDone());
        QVERIFY2(statusText(*control).startsWith(QStringLiteral("共：%1/%2").arg(last).arg(last + 1)),
                 qPrintable(statusText(*control)));
    }

    // A record another client deleted meanwhile is not reported as deleted by us.
    void deleteOfVanishedRecord() {
        CHECK_SQL(db.insertNumbered(1, 2));
        search(true, QStringLiteral("t"));
        control->List1->selectRow(0);
        QVERIFY(handlersDone());
        CHECK_SQL(db.exec(QStringLiteral("DELETE FROM SearchTxt_Data WHERE dataid='1'")));
        control->Menu_Click(1);
        QVERIFY(handlersDone());
        QVERIFY2(statusText(*control).startsWith(QStringLiteral("删除失败，Error:")),
                 qPrintable(statusText(*control)));
        QVERIFY(statusText(*control).contains(QStringLiteral("ID:1")));
    }

    // The titles file: beside the control library, named after it, one GBK line per listed row.
    void exportTitles_data() {
        columns<QStringList, QByteArray>("titles", "bytes");
        row("one", QStringList{"a"}, QByteArray("a\r\n"));
        row("chinese", QStringList{"中文", "b c"}, QByteArray("\xD6\xD0\xCE\xC4\r\nb c\r\n"));
        row("five", QStringList{"1", "2", "3", "4", "5"}, QByteArray("1\r\n2\r\n3\r\n4\r\n5\r\n"));
    }
    void exportTitles() {
        QFETCH(QStringList, titles);
        QFETCH(QByteArray, bytes);
        for (int i = 0; i < titles.size(); ++i)
            CHECK_SQL(db.insert(QString::number(i + 1), titles.at(i), QStringLiteral("x")));
        search(true, QString());
        const QString path = libDir() + QStringLiteral("/Vornik.txt");
        QFile::remove(path);
        control->Menu_Click(4);
        QVERIFY(handlersDone());
        QCOMPARE(readAll(path), bytes);
        QCOMPARE(opened.opened, QList<QUrl>{QUrl::fromLocalFile(path)});
        QCOMPARE(statusText(*control), QStringLiteral("导出文件名 完毕！"));
    }

    // What goes wrong is said on the status line; nothing is opened that was not written.
    void exportTitlesFailures_data() {
        columns<QString, QString, int>("situation", "statusStart", "opens");
        row("no search yet", "no search", "导出文件名 失败：结果列表是空的", 0);
        row("file cannot be written", "blocked", "导出文件名 失败：无法写入", 0);
        row("no editor", "no editor", "导出文件名 完毕！无法用文本编辑器打开", 1);
    }
    void exportTitlesFailures() {
        QFETCH(QString, situation);
        QFETCH(QString, statusStart);
        QFETCH(int, opens);
        CHECK_SQL(db.insertNumbered(1, 2));
        if (situation != QStringLiteral("no search"))
            search(true, QStringLiteral("t"));
        if (situation == QStringLiteral("blocked"))
            QVERIFY(QDir().mkpath(libDir() + QStringLiteral("/Vornik.txt")));
        opened.succeed = situation != QStringLiteral("no editor");
        control->Menu_Click(4);
        QVERIFY(handlersDone());
        QVERIFY2(statusText(*control).startsWith(statusStart), qPrintable(statusText(*control)));
        QCOMPARE(opened.opened.size(), opens);
    }

    // One file per listed row in the export folder: names cleaned, never outside the folder,
    // content in GBK with one CR LF added, the later of two equal titles winning.
    void exportAll_data() {
        columns<QStringList, QStringList>("titles", "expectedFiles");
        row("slash and bar", QStringList{"a/b|c"}, QStringList{"a【正斜线】b【或竖线】c.txt"});
        row("CR LF removed", QStringList{"x\r\ny"}, QStringList{"xy.txt"});
        row("up and out", QStringList{"../../x"}, QStringList{"..【正斜线】..【正斜线】x.txt"});
        row("dot dot", QStringList{".."}, QStringList{"（无标题）.txt"});
        row("absolute", QStringList{"/etc/x"}, QStringList{"【正斜线】etc【正斜线】x.txt"});
        row("empty title", QStringList{""}, QStringList{"（无标题）.txt"});
        row("blanks and chinese", QStringList{"我的 笔记", "b"}, QStringList{"b.txt", "我的 笔记.txt"});
        row("emoji kept in the name", QStringList{"smile 😀"}, QStringList{"smile 😀.txt"});
        // A NUL would cut the name short (here: to the library's own name); control characters go too.
        row("NUL", QStringList{QStringLiteral("Vornik.so") + QChar(u'\0') + QStringLiteral("x")},
            QStringList{"Vornik.so_x.txt"});
        row("tab and lone CR", QStringList{"a\tb\rc"}, QStringList{"a_b_c.txt"});
        // Every listed record gets a file of its own, whatever names meet.
        row("same titles", QStringList{"月夜", "月夜", "无题・其一", "无题・其一"},
            QStringList{"无题・其一 (2).txt", "无题・其一.txt", "月夜 (2).txt", "月夜.txt"});
        row("cleaned alike", QStringList{"expc/1", "expc【正斜线】1"},
            QStringList{"expc【正斜线】1 (2).txt", "expc【正斜线】1.txt"});
        row("names Windows reserves", QStringList{"CON", "a:b", "x. "},
            QStringList{"_CON.txt", "a：b.txt", "x.txt"});
    }
    void exportAll() {
        QFETCH(QStringList, titles);
        QFETCH(QStringList, expectedFiles);
        for (int i = 0; i < titles.size(); ++i)
            CHECK_SQL(
                db.insert(QString::number(i + 1), titles.at(i), QStringLiteral("内容\r\nline %1").arg(i)));
        search(false, QString());
        QCOMPARE(control->List1->count(), titles.size());
        control->Menu_Click(5);
        QVERIFY(handlersDone());

        const QString folder = libDir() + QStringLiteral("/Txt/");
        QDir dir(folder);
        QCOMPARE(dir.entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name), expectedFiles);
        // Nothing landed beside the folder or above it.
        QCOMPARE(QDir(libDir()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList{"Txt"});
        QCOMPARE(QDir(files->path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList{"lib dir"});
        const QString first = folder + exportFileName(titles.first());
        QCOMPARE(readAll(first), QByteArray("\xC4\xDA\xC8\xDD\r\nline 0\r\n"));
        QCOMPARE(opened.opened, QList<QUrl>{QUrl::fromLocalFile(folder)});
        QCOMPARE(statusText(*control),
                 QStringLiteral("导出所有TXT 完毕！写入 %1 个，跳过 0 个，失败 0 个。").arg(titles.size()));
    }

    void exportAllSameTitles() {
        CHECK_SQL(db.insert(QStringLiteral("1"), QStringLiteral("same"), QStringLiteral("first")));
        CHECK_SQL(db.insert(QStringLiteral("2"), QStringLiteral("same"), QStringLiteral("second")));
        search(false, QStringLiteral("same"));
        QCOMPARE(control->results().data.toStringList().mid(0, 2), QStringList({"first", "second"}));
        control->Menu_Click(5);
        QVERIFY(handlersDone());
        QCOMPARE(readAll(libDir() + QStringLiteral("/Txt/same.txt")), QByteArray("first\r\n"));
        QCOMPARE(readAll(libDir() + QStringLiteral("/Txt/same (2).txt")), QByteArray("second\r\n"));
    }

    // Another account renames Txt/ and puts a link to a private folder in its place once the first file
    // is there: every file still goes to the folder the export opened, none where the link points.
    void exportAllTxtSwapped() {
        CHECK_SQL(db.insertNumbered(1, 300));
        search(false, QStringLiteral("t"));
        const QString txt = libDir() + QStringLiteral("/Txt"), moved = libDir() + QStringLiteral("/moved");
        const QString secret = files->path() + QStringLiteral("/private");
        QVERIFY(QDir().mkpath(secret) && QDir().mkpath(txt));
        const int watch = inotify_init1(IN_CLOEXEC);
        QVERIFY(watch >= 0 && inotify_add_watch(watch, QFile::encodeName(txt).constData(), IN_MOVED_TO) >= 0);
        int filesAtSwap = -1;
        std::thread swapper([&] {
            char event[4096];
            if (::read(watch, event, sizeof event) > 0 &&
                ::rename(QFile::encodeName(txt), QFile::encodeName(moved)) == 0 && QFile::link(secret, txt))
                filesAtSwap = int(QDir(moved).entryList(QDir::Files).size());
        });
        control->Menu_Click(5);
        QVERIFY(handlersDone());
        swapper.join();
        ::close(watch);
        QVERIFY2(filesAtSwap >= 0 && filesAtSwap < 300, qPrintable(QString::number(filesAtSwap)));
        QVERIFY(QDir(secret).isEmpty());
        QCOMPARE(QDir(moved).entryList(QDir::Files | QDir::Hidden).size(), 300);
        QVERIFY2(statusText(*control).startsWith(
                     QStringLiteral("导出所有TXT 完毕！写入 300 个，跳过 0 个，失败 0 个。")),
                 qPrintable(statusText(*control)));
    }

    // After a title search the contents are fetched by id, never the placeholder; a record deleted
    // since it was listed is skipped and its earlier export left as it was.
    void exportAllAfterTitleSearch() {
        CHECK_SQL(db.insertNumbered(1, 3));
        search(true, QStringLiteral("t"));
        CHECK_SQL(db.exec(QStringLiteral("DELETE FROM SearchTxt_Data WHERE dataid='2'")));
        const QString folder = libDir() + QStringLiteral("/Txt/");
        QVERIFY(QDir().mkpath(folder));
        QFile old(folder + QStringLiteral("t2.txt"));
        QVERIFY(old.open(QIODevice::WriteOnly) && old.write("earlier export") == 14);
        old.close();
        control->ChkControl[0]->setChecked(false);
        control->Menu_Click(5);
        QVERIFY(handlersDone());
        QCOMPARE(readAll(folder + QStringLiteral("t1.txt")), QByteArray("body 1\r\n"));
        QCOMPARE(readAll(folder + QStringLiteral("t2.txt")), QByteArray("earlier export"));
        QCOMPARE(readAll(folder + QStringLiteral("t3.txt")), QByteArray("body 3\r\n"));
        QVERIFY2(statusText(*control).startsWith(
                     QStringLiteral("导出所有TXT 完毕！写入 2 个，跳过 1 个，失败 0 个。")),
                 qPrintable(statusText(*control)));
    }

    // A row that cannot be written is reported and skipped; the others are written, a file that
    // was there is replaced, and the end of the export says how many failed.
    void exportAllRowFailures() {
        const QString folder = libDir() + QStringLiteral("/Txt/");
        QVERIFY(QDir().mkpath(folder + QStringLiteral("blocked.txt"))); // a folder where a file would go
        QFile old(folder + QStringLiteral("ok.txt"));
        QVERIFY(old.open(QIODevice::WriteOnly) && old.write("old") == 3);
        old.close();
        CHECK_SQL(db.insert(QStringLiteral("1"), QString(300, u'L'), QStringLiteral("long")));
        CHECK_SQL(db.insert(QStringLiteral("2"), QStringLiteral("ok"), QStringLiteral("fine")));
        CHECK_SQL(db.insert(QStringLiteral("3"), QStringLiteral("blocked"), QStringLiteral("no")));
        search(false, QString());
        StatusLog statuses;
        statuses.attach(*control);
        control->Menu_Click(5);
        QVERIFY(handlersDone());

        QCOMPARE(readAll(folder + QStringLiteral("ok.txt")), QByteArray("fine\r\n"));
        const QStringList errors = statuses.filter(QRegularExpression(QStringLiteral("^error,")));
        QCOMPARE(errors.size(), 1);
        QVERIFY(errors.at(0).endsWith(QStringLiteral(" sPath=[") + folder + QStringLiteral("blocked.txt]")));
        QVERIFY2(statusText(*control).startsWith(
                     QStringLiteral("导出所有TXT 完毕！写入 2 个，跳过 0 个，失败 1 个。")),
                 qPrintable(statusText(*control)));
        // A title too long for a file name is cut to fit; no temporary file is left behind.
        QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden),
                 (QStringList{QString(251, u'L') + QStringLiteral(".txt"), "ok.txt"}));
    }

    void exportAllFailures_data() {
        columns<QString, QString>("situation", "statusStart");
        row("no search yet", "no search", "导出所有TXT 失败：结果列表是空的");
        row("folder cannot be made", "blocked", "导出所有TXT 失败：");
        // Records written wherever a planted link points: never.
        row("Txt is a symbolic link", "link", "导出所有TXT 失败：");
        row("no file manager", "no manager",
            "导出所有TXT 完毕！写入 1 个，跳过 0 个，失败 0 个。无法用文件管理器打开");
    }
    void exportAllFailures() {
        QFETCH(QString, situation);
        QFETCH(QString, statusStart);
        CHECK_SQL(db.insertNumbered(1, 1));
        if (situation != QStringLiteral("no search"))
            search(false, QStringLiteral("t"));
        if (situation == QStringLiteral("blocked")) {
            QFile f(libDir() + QStringLiteral("/Txt"));
            QVERIFY(f.open(QIODevice::WriteOnly));
        }
        const QString elsewhere = files->path() + QStringLiteral("/elsewhere");
        if (situation == QStringLiteral("link")) {
            QVERIFY(QDir().mkpath(elsewhere));
            QVERIFY(QFile::link(elsewhere, libDir() + QStringLiteral("/Txt")));
        }
        opened.succeed = situation != QStringLiteral("no manager");
        control->Menu_Click(5);
        QVERIFY(handlersDone());
        QVERIFY2(statusText(*control).startsWith(statusStart), qPrintable(statusText(*control)));
        QVERIFY(QDir(elsewhere).isEmpty());
    }

    // A command started while a search is still loading is refused and says why; the search goes on.
    void exportWhileLoading_data() {
        columns<bool>("titlesOnly");
        row("titles", true);
        row("full text", false);
    }
    void exportWhileLoading() {
        QFETCH(bool, titlesOnly);
        CHECK_SQL(db.insertNumbered(1, 3000));
        QString refusal;
        QMetaObject::Connection hook;
        hook = connect(control->TxtTS, &QLineEdit::textChanged, this, [&](const QString& t) {
            if (refusal.isEmpty() && t.contains(QStringLiteral("正在读取数据:"))) {
                control->Menu_Click(4);
                refusal = statusText(*control);
            }
        });
        ::search(*control, titlesOnly, QStringLiteral("t"));
        disconnect(hook);
        QCOMPARE(refusal, QStringLiteral("请稍候：“查询”还没有完成"));
        QCOMPARE(statusText(*control), QStringLiteral("loaded OK"));
        QCOMPARE(control->List1->count(), 3000);
        QVERIFY(!QFile::exists(libDir() + QStringLiteral("/Vornik.txt")));
    }
};

QTEST_MAIN(TestCommands)
#include "tst_commands.moc"
