// The add and modify forms against the real server: the rows they write, refusals, failure paths,
// lost updates and load failures. Message boxes go through the recording fake.
#include "Columns.h"
#include "ConnectShim.h"
#include "FakeClock.h"
#include "Fixture.h"
#include "ScratchDb.h"
#include "Sync.h"
#include "database/ConnDatabase.h"
#include "forms/FrmAdd.h"
#include "forms/FrmModi.h"

#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTemporaryDir>
#include <QTextEdit>
#include <QTimer>
#include <QtTest>

namespace {

// Every row of these tests is dated 23 July 2999, so the ids share this prefix.
const QString kPrefix = QStringLiteral("29990723");
const QString kId = kPrefix + QStringLiteral("08000028800");
const QString kCreated = QStringLiteral("2999-07-23 08:00:00");
const QString kModified = QStringLiteral("2999-07-23 09:30:00");
const QString kNoServer = QStringLiteral("127.0.0.1:1");

QDateTime at(int h, int m, int s, int ms = 0) {
    return QDateTime(QDate(2999, 7, 23), QTime(h, m, s, ms));
}
QString crlf(QString s) {
    return s.replace(u'\n', QStringLiteral("\r\n"));
}
void flushDeletes() {
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

} // namespace

class TestForms : public QObject, WithBoxes, WithPrompt, WithConfig {
    Q_OBJECT

    ScratchDb db{QStringLiteral("vornik_test_forms")}; // its administrator is the other client
    FakeClock clock;

    QStringList storedRecord() {
        return {kId, "名称", "一\r\n二", kCreated, kModified, "备注\r\n二行", "k1 k2", "张三"};
    }
    // The record as stored, with `nullColumn` NULL.
    void insertRecord(const QString& nullColumn = {}) {
        static const char* const columns[] = {"dataid",       "name", "data", "createdatetime",
                                              "modidatetime", "desc", "keys", "creator"};
        const QStringList values = storedRecord();
        SqlParams params;
        for (int i = 0; i < 8; ++i)
            params << (columns[i] == nullColumn ? QVariant() : QVariant(values[i]));
        CHECK_SQL(db.exec(QStringLiteral("insert into SearchTxt_Data (dataid,name,data,createdatetime,"
                                         "modidatetime,`desc`,`keys`,creator) values (?,?,?,?,?,?,?,?)"),
                          params));
    }
    // The next connection goes to a server that does not answer.
    void unreachable() {
        sharedSession().settings().server = kNoServer;
        if (sharedSession().connectionSlot())
            sharedSession().connectionSlot()->Close();
    }
    // The clock installed until the guard goes, from `start` on.
    ScopedSeam<Clock> useClock(const QDateTime& start, int stepMs = 0) {
        clock.at = start;
        clock.stepMs = stepMs;
        clock.reads = 0;
        return {setAppClock, &clock};
    }
    // Exactly one message box, of this kind and title, was shown.
    void onlyMessage(const QString& kind, const QString& title = {}) {
        QCOMPARE(boxes.shown.size(), 1); // also: no second failure from a rollback
        QCOMPARE(boxes.shown.first().kind, kind);
        QCOMPARE(boxes.shown.first().title, title);
    }
    // The loaded form, ready to edit, with the record as stored (`nullColumn` NULL); null when the
    // load failed.
    FrmModi* loaded(const QString& nullColumn = {}) {
        insertRecord(nullColumn);
        FrmModi* f = FrmModi::instance();
        return sync(f->setDataid(kId)) ? f : nullptr;
    }

private Q_SLOTS:
    void initTestCase() { START_DB(); }
    void init() {
        db.pointSettingsHere();
        boxes.shown.clear();
        FrmAdd::unload();
        FrmModi::unload();
        CHECK_SQL(db.exec(QStringLiteral("delete from SearchTxt_Data")));
    }
    void cleanupTestCase() {
        FrmAdd::unload();
        FrmModi::unload();
    }

    void addStoresRow_data() {
        // taken: an id another add has already stored
        columns<QDateTime, int, QString, QString, QStringList, QString>("start", "stepMs", "title", "body",
                                                                        "expected", "taken");
        row("afternoon", at(14, 3, 7, 600), 0, "标题 A", "第一行\n第二行",
            QStringList{kPrefix + "14030750588", "标题 A", "第一行\r\n第二行", "2999-07-23 14:03:07",
                        "2999-07-23 14:03:07", "", "", ""},
            QString());
        row("timer rounds up to 86400", at(23, 59, 59, 700), 0, "t", "b",
            QStringList{kPrefix + "23595986400", "t", "b", "2999-07-23 23:59:59", "2999-07-23 23:59:59", "",
                        "", ""},
            QString());
        // Readings: date, timer, creation time, modification time.
        row("each time read on its own", at(10, 0, 0), 1000, "t", "b",
            QStringList{kPrefix + "10000036001", "t", "b", "2999-07-23 10:00:02", "2999-07-23 10:00:03", "",
                        "", ""},
            QString());
        row("blanks and line breaks only", at(11, 0, 0), 0, "   ", "\n\n",
            QStringList{kPrefix + "11000039600", "   ", "\r\n\r\n", "2999-07-23 11:00:00",
                        "2999-07-23 11:00:00", "", "", ""},
            QString());
        // Readings 100 ms apart from 14:03:07.6: the first try's id is taken, the next second's is free.
        row("id taken: the next second's", at(14, 3, 7, 600), 100, "t", "b",
            QStringList{kPrefix + "14030850588", "t", "b", "2999-07-23 14:03:08", "2999-07-23 14:03:08", "",
                        "", ""},
            kPrefix + "14030750588");
    }

    void addStoresRow() {
        QFETCH(QDateTime, start);
        QFETCH(int, stepMs);
        QFETCH(QString, title);
        QFETCH(QString, body);
        QFETCH(QStringList, expected);
        QFETCH(QString, taken);
        if (!taken.isEmpty())
            CHECK_SQL(db.insert(taken, QStringLiteral("earlier"), QStringLiteral("e")));
        FrmAdd* f = FrmAdd::instance();
        f->txtTitle->setText(title);
        f->RtbData->setPlainText(body);
        QString errorText;
        mConnDatabase::ConnectDatabase(errorText); // opened now, so the add reads no clock to open it
        const auto clockSeam = useClock(start, stepMs);
        f->CmdAddNew_Click();
        QVERIFY(handlersDone());
        onlyMessage("information");
        QCOMPARE(boxes.lastText(), QStringLiteral("增加成功！"));
        QCOMPARE(db.row(expected.first()), expected);
        QVERIFY(f->txtTitle->text().isEmpty());
        QVERIFY(f->RtbData->toPlainText().isEmpty());
        QCOMPARE(FrmAdd::instance(), f); // still open for the next record
    }

    void refusals_data() {
        columns<bool, QString, QString, QString, QString>("modify", "title", "body", "message", "focus");
        row("add, empty title", false, "", "b", "标题不能为空！", "txtTitle");
        row("add, both empty", false, "", "", "标题不能为空！", "txtTitle");
        row("add, empty body", false, "t", "", "正文不能为空！", "RtbData");
        row("modify, empty title", true, "", "b", "标题不能为空！", "txtTitle");
        row("modify, empty body", true, "t", "", "正文不能为空！", "RtbData");
    }
    void refusals() {
        QFETCH(bool, modify);
        QFETCH(QString, title);
        QFETCH(QString, body);
        QFETCH(QString, message);
        QDialog* f = modify ? static_cast<QDialog*>(loaded()) : FrmAdd::instance();
        QVERIFY(f);
        const auto clockSeam = useClock(at(12, 0, 0)); // an add would make kPrefix + "12000043200"
        f->findChild<QLineEdit*>("txtTitle")->setText(title);
        f->findChild<QTextEdit*>("RtbData")->setPlainText(body);
        f->show();
        QVERIFY(QTest::qWaitForWindowActive(f));
        if (modify)
            static_cast<FrmModi*>(f)->CmdSave_Click();
        else
            static_cast<FrmAdd*>(f)->CmdAddNew_Click();
        QVERIFY(handlersDone());
        onlyMessage("information");
        QCOMPARE(boxes.lastText(), message);
        QTEST(f->focusWidget()->objectName(), "focus");
        QCOMPARE(f->findChild<QLineEdit*>("txtTitle")->text(), title);
        QCOMPARE(db.row(kId), modify ? storedRecord() : QStringList());
        QVERIFY(db.row(kPrefix + QStringLiteral("12000043200")).isEmpty());
    }

    // The clock gives kPrefix 14:03:07.6, so the add makes the id kPrefix + "14030750588".
    void addFailure_data() {
        columns<QString, QString>("cause", "mentions");
        row("same-second id", "duplicate", kPrefix + "14030750588");
        row("title too long for its column", "too long", "name");
        row("server unreachable", "no server", "数据库连接未打开");
    }
    void addFailure() {
        QFETCH(QString, cause);
        const QString id = kPrefix + QStringLiteral("14030750588");
        if (cause == "duplicate")
            CHECK_SQL(db.insert(id, QStringLiteral("earlier"), QStringLiteral("e")));
        const QString title = cause == "too long" ? QString(70000, u'x') : QStringLiteral("later");
        FrmAdd* f = FrmAdd::instance();
        f->txtTitle->setText(title);
        f->RtbData->setPlainText(QStringLiteral("正文"));
        if (cause == "no server")
            unreachable();
        const auto clockSeam = useClock(at(14, 3, 7, 600));
        f->CmdAddNew_Click();
        QVERIFY(handlersDone());
        onlyMessage("critical", "增加数据");
        QVERIFY(boxes.lastText().startsWith(QStringLiteral("Error:CmdAddNew_Click\r\n Err:")));
        QFETCH(QString, mentions);
        QVERIFY2(boxes.lastText().contains(mentions), qPrintable(boxes.lastText()));
        QCOMPARE(f->txtTitle->text(), title);
        QCOMPARE(f->RtbData->toPlainText(), QStringLiteral("正文"));
        QCOMPARE(db.row(id).value(1), cause == "duplicate" ? QStringLiteral("earlier") : QString());
        QVERIFY(!sharedSession().connectionSlot()->inTransaction());
    }

    void loadFillsBoxes() {
        FrmModi* f = loaded();
        QVERIFY(f);
        QVERIFY(boxes.shown.isEmpty());
        QCOMPARE(f->dataid(), kId);
        // Shown with LF line ends, in load order: id, title, body, times, remarks, creator, keywords.
        QCOMPARE((QStringList{f->TxtDataid->text(), f->txtTitle->text(), f->RtbData->toPlainText(),
                              f->TxtCreateDatetime->text(), f->TxtModiDateTime->text(),
                              f->TxtDesc->toPlainText(), f->TxtCreator->text(), f->TxtKeys->text()}),
                 (QStringList{kId, "名称", "一\n二", kCreated, kModified, "备注\n二行", "张三", "k1 k2"}));
    }

    void loadFailure_data() {
        columns<QString, QString, QString>("cause", "kind", "mentions");
        row("no such row", "missing", "information", "未找到 相关信息！Error:");
        row("server unreachable", "no server", "critical", "数据库连接未打开");
    }
    void loadFailure() {
        QFETCH(QString, cause);
        QFETCH(QString, mentions);
        if (cause != "missing")
            insertRecord(cause);
        if (cause == "no server")
            unreachable();
        QPointer<FrmModi> f = FrmModi::instance();
        QVERIFY(!sync(f->setDataid(kId)));
        QFETCH(QString, kind);
        onlyMessage(kind, kind == "critical" ? QStringLiteral("修改数据") : QString());
        QVERIFY2(boxes.lastText().contains(mentions), qPrintable(boxes.lastText()));
        if (boxes.shown.first().kind == "critical")
            QVERIFY(boxes.lastText().contains(kId));
        flushDeletes();
        QVERIFY(!f); // unloaded: the opener has nothing to show
    }

    // A NULL another tool stored reads as empty, and the record can still be saved: a text column
    // as empty text, a date-time as the NULL it was.
    void nullColumnLoadsEmpty_data() {
        // box: its place in the stored record
        columns<QString, int, QString>("column", "box", "stored");
        for (const auto& [column, box] :
             {std::pair{"data", 2}, {"createdatetime", 3}, {"desc", 5}, {"keys", 6}, {"creator", 7}})
            QTest::addRow("%s", column) << column << box << (box == 3 ? "<NULL>" : "");
    }
    void nullColumnLoadsEmpty() {
        QFETCH(QString, column);
        QFETCH(int, box);
        FrmModi* f = loaded(column);
        QVERIFY(f);
        QVERIFY(boxes.shown.isEmpty());
        if (column == u"data")
            f->RtbData->setPlainText(QStringLiteral("now a body")); // an empty body is refused
        f->CmdSave_Click();
        QVERIFY(handlersDone());
        QCOMPARE(boxes.lastText(), QStringLiteral("修改成功！"));
        QStringList expected = storedRecord();
        expected[box] = column == u"data" ? QStringLiteral("now a body") : QString();
        QFETCH(QString, stored);
        if (column != u"data")
            expected[box] = stored;
        expected[4] = db.row(kId).value(4); // the save's time
        QVERIFY(expected[4] != kModified);
        QCOMPARE(db.row(kId), expected);
    }

    void saveRoundTrip_data() {
        columns<QString, QString, QString, QString>("title", "keys", "desc", "body");
        row("backslashes and quotes", "C:\\dir\\ it's \"x\"", "\\'\"", "a\\'b\n\"c\"",
            "\\n is not\n'a' \"b\" \\");
        row("chinese", "中文标题", "关键字 二", "备注：说明\n第二行", "正文\n第二行\n");
        row("title of blanks", "   ", "", "", " ");
        row("no-break spaces", "a\u00a0b", "k", "d\u00a0", "x\u00a0y");
    }
    void saveRoundTrip() {
        QFETCH(QString, title);
        QFETCH(QString, keys);
        QFETCH(QString, desc);
        QFETCH(QString, body);
        QPointer<FrmModi> f = loaded();
        QVERIFY(f);
        f->txtTitle->setText(title);
        f->TxtKeys->setText(keys);
        f->TxtDesc->setPlainText(desc);
        f->RtbData->setPlainText(body);
        const auto clockSeam = useClock(at(12, 34, 56));
        // While it says so the form is still there, emptied; it goes at the next turn.
        boxes.onInformation = [&] {
            QVERIFY(f);
            for (QLineEdit* box : f->findChildren<QLineEdit*>())
                QVERIFY(box->text().isEmpty());
            QVERIFY(f->RtbData->toPlainText().isEmpty() && f->TxtDesc->toPlainText().isEmpty());
        };
        f->CmdSave_Click();
        QVERIFY(handlersDone());
        boxes.onInformation = nullptr;
        onlyMessage("information");
        QCOMPARE(boxes.lastText(), QStringLiteral("修改成功！"));
        flushDeletes();
        QVERIFY(!f);
        // Id, creator and creation time as loaded; the modification time the save's.
        QCOMPARE(db.row(kId), (QStringList{kId, title, crlf(body), kCreated, "2999-07-23 12:34:56",
                                           crlf(desc), keys, "张三"}));
    }

    // Another client changes or deletes the row between the load and the save. Nothing of theirs is
    // overwritten and the edits stay in the form; a deleted record is offered to be stored again under
    // its id (refused when someone has stored one under it meanwhile).
    void saveAfterOthers_data() {
        // restore: the answer to the offer: 0 none made, 1 OK, 2 cancel
        // meanwhile: before the record is stored again
        columns<QString, int, QString>("change", "restore", "meanwhile");
        const QString update =
            QStringLiteral("update SearchTxt_Data set `%1`='%2' where dataid='") + kId + u'\'';
        const QString remove = "delete from SearchTxt_Data where dataid='" + kId + "'";
        row("deleted, stored again", remove, 1, "");
        row("deleted, not stored again", remove, 2, "");
        row("deleted, then another stored under its id", remove, 1,
            "insert into SearchTxt_Data (dataid,name) values ('" + kId + "','theirs')");
        for (const char* column : {"name", "data", "desc", "keys"})
            QTest::addRow("%s changed", column) << update.arg(column, "theirs") << 0 << "";
        row("modidatetime changed", update.arg("modidatetime", "2999-07-23 11:11:11"), 0, "");
    }
    void saveAfterOthers() {
        QFETCH(QString, change);
        QFETCH(int, restore);
        QFETCH(QString, meanwhile);
        QPointer<FrmModi> f = loaded();
        QVERIFY(f);
        f->txtTitle->setText(QStringLiteral("mine"));
        CHECK_SQL(db.exec(change));
        const QStringList theirs = db.row(kId);
        boxes.answer = restore == 2 ? MessageBoxes::Answer::Cancel : MessageBoxes::Answer::Ok;
        boxes.onQuestion = [&] { QVERIFY(meanwhile.isEmpty() || db.exec(meanwhile).isEmpty()); };
        const auto clockSeam = useClock(at(12, 0, 0));
        f->CmdSave_Click();
        QVERIFY(handlersDone());
        boxes.answer = MessageBoxes::Answer::Ok;
        boxes.onQuestion = nullptr;
        if (restore > 0) {
            QCOMPARE(boxes.shown.first().kind, QStringLiteral("question"));
            QVERIFY2(boxes.shown.first().text.contains(QStringLiteral("已被其他用户删除")) &&
                         boxes.shown.first().text.contains(kId),
                     qPrintable(boxes.shown.first().text));
        }
        flushDeletes();
        const bool stored = restore == 1 && meanwhile.isEmpty();
        QCOMPARE(f.isNull(), stored); // closed once saved; else open with the edits
        if (stored) {
            QCOMPARE(boxes.lastText(), QStringLiteral("修改成功！"));
            QStringList mine = storedRecord();
            mine[1] = QStringLiteral("mine");
            mine[4] = QStringLiteral("2999-07-23 12:00:00");
            QCOMPARE(db.row(kId), mine);
            return;
        }
        QCOMPARE(f->txtTitle->text(), QStringLiteral("mine"));
        QCOMPARE(db.row(kId).value(1), meanwhile.isEmpty() ? theirs.value(1) : QStringLiteral("theirs"));
        if (restore != 2) {
            QCOMPARE(boxes.shown.last().kind, QStringLiteral("critical")); // and which record
            QVERIFY2(boxes.lastText().contains(kId), qPrintable(boxes.lastText()));
        }
    }

    void saveFailure_data() {
        columns<QString>("cause");
        row("insert fails after the delete", "too long");
        row("server unreachable", "no server");
    }
    void saveFailure() {
        QFETCH(QString, cause);
        QPointer<FrmModi> f = loaded();
        QVERIFY(f);
        const QString title = cause == "too long" ? QString(70000, u'x') : QStringLiteral("mine");
        f->txtTitle->setText(title);
        if (cause == "no server")
            unreachable();
        f->CmdSave_Click();
        QVERIFY(handlersDone());
        QCOMPARE(db.row(kId), storedRecord()); // the row as loaded is still there
        onlyMessage("critical", "修改数据");
        QVERIFY(boxes.lastText().startsWith(QStringLiteral("Error:CmdSave_Click")));
        QVERIFY(boxes.lastText().contains(QStringLiteral("\r\n Err:")));
        QVERIFY(!sharedSession().connectionSlot()->inTransaction());
        flushDeletes();
        QVERIFY(f);
        QCOMPARE(f->txtTitle->text(), title);
    }

    // Escape, the close box and Alt+F4 close either form at once when nothing was typed, else after
    // asking: save (closed once saved), discard, or back to the form. Ctrl+S saves as the button
    // does. Never while a write waits for the server (the add's statements run the event loop).
    void closing_data() {
        // how: Escape, close, Ctrl+S, or Escape while adding
        // answer: MessageBoxes::Closing
        columns<bool, QString, bool, int, bool, bool>("modify", "how", "typed", "answer", "closed",
                                                      "written");
        const int save = int(MessageBoxes::Closing::Save), discard = int(MessageBoxes::Closing::Discard),
                  back = int(MessageBoxes::Closing::Back);
        for (const bool modify : {false, true}) {
            const char* form = modify ? "modify" : "add";
            QTest::addRow("%s, Escape, nothing typed", form)
                << modify << "Escape" << false << back << true << false;
            QTest::addRow("%s, Escape, save", form) << modify << "Escape" << true << save << true << true;
            QTest::addRow("%s, close box, discard", form)
                << modify << "close" << true << discard << true << false;
            QTest::addRow("%s, close box, back", form) << modify << "close" << true << back << false << false;
            QTest::addRow("%s, Ctrl+S", form) << modify << "Ctrl+S" << true << back << modify << true;
        }
        row("add, Escape while adding", false, "adding", true, discard, false, true);
    }
    void closing() {
        QFETCH(bool, modify);
        QFETCH(QString, how);
        QFETCH(bool, typed);
        QFETCH(int, answer);
        QPointer<QDialog> f = modify ? static_cast<QDialog*>(loaded()) : FrmAdd::instance();
        QVERIFY(f);
        if (typed) {
            f->findChild<QLineEdit*>("txtTitle")->setText(QStringLiteral("typed"));
            f->findChild<QTextEdit*>("RtbData")->setPlainText(QStringLiteral("b"));
        }
        f->show();
        QVERIFY(QTest::qWaitForWindowActive(f));
        boxes.closing = MessageBoxes::Closing(answer);
        QWidget* focused = f->findChild<QWidget*>("RtbData");
        focused->setFocus();
        bool openAfterEscape = false;
        if (how == "adding") {
            QTimer::singleShot(0, f, [&] {
                QTest::keyClick(focused, Qt::Key_Escape);
                openAfterEscape = f->isVisible();
            });
            static_cast<FrmAdd*>(f.data())->CmdAddNew_Click();
            QVERIFY(handlersDone());
            QVERIFY(openAfterEscape);
        } else if (how == "close") {
            f->close();
            QVERIFY(handlersDone());
        } else {
            QTest::keyClick(focused, how == "Escape" ? Qt::Key_Escape : Qt::Key_S,
                            how == "Escape" ? Qt::NoModifier : Qt::ControlModifier);
        }
        QVERIFY(handlersDone());
        boxes.closing = MessageBoxes::Closing::Back;
        flushDeletes();
        QTEST(!f || f->isHidden(), "closed");
        const int asked = int(std::count_if(boxes.shown.begin(), boxes.shown.end(),
                                            [](const auto& b) { return b.kind == "save?"; }));
        QCOMPARE(asked, typed && how != "Ctrl+S" && how != "adding" ? 1 : 0);
        const QString stored = modify ? db.row(kId).value(1) : db.value("select name from SearchTxt_Data");
        QFETCH(bool, written);
        QCOMPARE(stored, written  ? QStringLiteral("typed")
                         : modify ? QStringLiteral("名称")
                                  : QStringLiteral("<none>"));
        if (f && f->isVisible() && !written)
            QCOMPARE(f->findChild<QLineEdit*>("txtTitle")->text(), QStringLiteral("typed"));
    }

    void showModal() {
        QCOMPARE(sync(FrmModi::showModal(kId)), ModifyOutcome::NotShown); // no such row: nothing is shown
        insertRecord();
        boxes.shown.clear();
        QString shownId;
        QTimer poll; // the load itself runs the event loop, so wait for the modal show
        connect(&poll, &QTimer::timeout, this, [&] {
            if (auto* f = qobject_cast<FrmModi*>(QApplication::activeModalWidget())) {
                poll.stop();
                shownId = f->TxtDataid->text();
                f->close();
            }
        });
        poll.start(10);
        QCOMPARE(sync(FrmModi::showModal(kId)), ModifyOutcome::Closed);
        QCOMPARE(shownId, kId);
        QCOMPARE(db.row(kId), storedRecord()); // closing saves nothing
        QVERIFY(boxes.shown.isEmpty());
    }
};

QTEST_MAIN(TestForms)
#include "tst_forms.moc"
