// The history vornik-admin installs: what the mariadb client's updates and deletes leave (as a
// Windows client's would), that a rolled-back save leaves nothing, that the modify form's delete and
// insert read as one save, the trash and a restore byte for byte (CR LF, NULL columns), a version
// stored back through the modify path, purging by age, and removing it all; and the control's windows
// on it: offered only where it is installed, the versions newest first, a restore refused over a
// concurrent change, a deleted record brought back from the trash, nothing touched of a control that
// went while they waited.
#include "AdminRun.h"
#include "Columns.h"
#include "FakeMessageBoxes.h"
#include "FreshControl.h"
#include "ScratchDb.h"
#include "Seams.h"
#include "Sync.h"
#include "control/Highlighter.h"
#include "database/RecordHistory.h"

#include <QtTest>
#include <QtWidgets>

#include <mysqld_error.h>

using namespace Qt::Literals::StringLiterals;

namespace {

const QString kCompanion = u"vornik_test_history_vornik"_s;
// Every column, bytes as hex: what "byte for byte" compares.
const QString kExact =
    u"HEX(dataid), HEX(name), HEX(data), createdatetime, modidatetime, HEX(`desc`), HEX(`keys`), "
    "HEX(creator)"_s;

} // namespace

class TstHistory : public QObject {
    Q_OBJECT

    ScratchDb db_{u"vornik_test_history"_s};
    ScratchDb none_{u"vornik_test_history_none"_s}; // no history installed
    QTemporaryDir config_;
    FakeMessageBoxes boxes_;
    ScopedSeam<MessageBoxes> boxesSeam_{setMessageBoxes, &boxes_};

    // A control that listed the titles containing `key`, the first selected.
    std::unique_ptr<uVornik> listed(const ScratchDb& db, const QString& key) {
        auto control = freshControl();
        control->show();
        db.pointSettingsHere();
        search(*control, true, key);
        control->List1->selectRow(0);
        QTest::qVerify(handlersDone(), "handlersDone()", "", __FILE__, __LINE__);
        return control;
    }
    static QStringList column(const HistoryWindow* w, int c) {
        QStringList out;
        for (int r = 0; r < w->rows(); ++r)
            out << w->list->model()->index(r, c).data().toString();
        return out;
    }
    static void select(HistoryWindow* w, int c, const QString& text) {
        w->list->setCurrentIndex(w->list->model()->index(int(column(w, c).indexOf(text)), 0));
    }

    // The mariadb client, as a Windows client or an administrator writes.
    bool client(const QString& sql) {
        QProcess p;
        p.start(u"mariadb"_s,
                {u"--no-defaults"_s, u"--protocol=TCP"_s, u"-h127.0.0.1"_s, u"-P"_s + testdb::port(),
                 u"-uqelmorand"_s, u"-p40628173"_s, db_.name(), u"-e"_s, sql});
        return p.waitForFinished(30000) && p.exitCode() == 0;
    }
    QList<QStringList> history(const QString& id) {
        return db_.query(
            u"SELECT kind, %1 FROM %2.history WHERE dataid = ? ORDER BY at, hid"_s.arg(kExact, kCompanion),
            {id});
    }
    QList<QStringList> rows(const history::Statement& s) { return db_.query(s.sql, s.params); }
    std::optional<SqlParams> restorable(qint64 hid) {
        const history::Statement s = history::versionStatement(kCompanion, hid);
        const Result<QueryOutcome> r = db_.admin().query(s.sql, s.params);
        return r && r.value().result ? history::versionValues(*r.value().result) : std::nullopt;
    }
    // A save as the modify form makes it: the row locked, deleted and inserted in one transaction.
    bool save(const QString& id, const QString& title, bool commit) {
        Connection& c = db_.admin();
        bool ok =
            c.BeginTrans() && c.query(u"SELECT * FROM SearchTxt_Data WHERE dataid = ? FOR UPDATE"_s, {id}) &&
            c.Execute(u"DELETE FROM SearchTxt_Data WHERE dataid = ?"_s, {id}) &&
            c.Execute(
                u"INSERT INTO SearchTxt_Data (dataid, name, data, createdatetime, modidatetime, `desc`, "
                "`keys`, creator) VALUES (?, ?, 'saved body', NOW(), NOW(), '', '', 'form')"_s,
                {id, title});
        ok = ok && (commit ? c.CommitTrans() : c.RollbackTrans());
        return ok;
    }

private Q_SLOTS:
    void initTestCase() {
        REQUIRE_DB();
        qputenv("XDG_CONFIG_HOME", config_.path().toUtf8());
        QVERIFY(none_.create());
        CHECK_SQL(none_.insertNumbered(1, 2));
        QVERIFY(db_.create());
        CHECK_SQL(db_.exec(u"DROP DATABASE IF EXISTS "_s + kCompanion));
        CHECK_SQL(db_.exec(u"INSERT INTO SearchTxt_Data VALUES ('h1', 'first', 'line 1\r\nline 2\r\n', "
                           "'2024-01-02 03:04:05', '2024-01-02 03:04:06', 'remarks', 'k1', 'alice')"_s));
        CHECK_SQL(db_.exec(
            u"INSERT INTO SearchTxt_Data (dataid, name, data) VALUES ('h2', 'nulls ', 'a\r\nb 😀 é')"_s));
        CHECK_SQL(db_.exec(
            u"INSERT INTO SearchTxt_Data VALUES ('h3', 'third', 'x', NOW(), NOW(), '', '', 'bob')"_s));
        QString out;
        QCOMPARE(runAdmin(testdb::server(), u"qelmorand"_s, u"40628173"_s, db_.name(),
                          {u"install"_s, u"--no-index"_s}, &out),
                 0);
        QCOMPARE(rows(history::installedStatement(kCompanion)), (QList<QStringList>{{u"1"_s}}));
    }

    void writesFromOutside() {
        const QStringList h1 =
            db_.query(u"SELECT %1 FROM SearchTxt_Data WHERE dataid = 'h1'"_s.arg(kExact)).value(0);
        const QStringList h2 =
            db_.query(u"SELECT %1 FROM SearchTxt_Data WHERE dataid = 'h2'"_s.arg(kExact)).value(0);
        QVERIFY(client(u"UPDATE SearchTxt_Data SET data = 'changed' WHERE dataid = 'h1'"_s));
        QVERIFY(
            client(u"UPDATE SearchTxt_Data SET name = name WHERE dataid = 'h1'"_s)); // no change: no version
        QVERIFY(client(
            u"UPDATE SearchTxt_Data SET name = 'nulls' WHERE dataid = 'h2'"_s)); // a trailing blank less
        QVERIFY(client(u"DELETE FROM SearchTxt_Data WHERE dataid = 'h2'"_s));
        QCOMPARE(history(u"h1"_s), (QList<QStringList>{QStringList{u"U"_s} + h1}));
        const QList<QStringList> two = history(u"h2"_s);
        QCOMPARE(two.size(), 2); // the update, the delete (it was added before the history was installed)
        QCOMPARE(two.at(0), QStringList{u"U"_s} + h2);
        QCOMPARE(two.at(1).first(), u"D"_s);
        QCOMPARE(two.at(1).at(6), u"<NULL>"_s); // `desc` stayed NULL
        const QString account =
            db_.value(u"SELECT account FROM %1.history WHERE dataid = 'h1' AND kind = 'U'"_s.arg(kCompanion));
        QVERIFY2(account.startsWith(u"qelmorand@"_s), qPrintable(account));
    }

    void saves() {
        const QString before = db_.value(u"SELECT COUNT(*) FROM %1.history"_s.arg(kCompanion));
        QVERIFY(save(u"h3"_s, u"rolled back"_s, false));
        QCOMPARE(db_.value(u"SELECT COUNT(*) FROM %1.history"_s.arg(kCompanion)), before);
        QVERIFY(save(u"h3"_s, u"saved once"_s, true));
        QVERIFY(client(u"UPDATE SearchTxt_Data SET name = 'updated' WHERE dataid = 'h3'"_s));
        // Newest first: the update, then the form's save as one change (its delete and insert).
        const QList<QStringList> versions = rows(history::versionsStatement(kCompanion, u"h3"_s));
        QCOMPARE(versions.size(), 2);
        QCOMPARE(versions.at(0).at(3), u"update"_s);
        QCOMPARE(versions.at(0).at(4), u"saved once"_s);
        QCOMPARE(versions.at(1).at(3), u"save"_s);
        QCOMPARE(versions.at(1).at(4), u"third"_s);
        QCOMPARE(versions.at(1).at(5), u"1"_s);
        // The saved version stored back through the modify path: deleted and inserted in one transaction.
        Connection& c = db_.admin();
        const std::optional<SqlParams> version = restorable(versions.at(1).at(0).toLongLong());
        QVERIFY(version);
        const history::Statement back = history::restoreStatement(db_.name(), *version);
        QVERIFY(c.BeginTrans());
        QVERIFY(c.Execute(u"DELETE FROM SearchTxt_Data WHERE dataid = 'h3'"_s));
        const Status stored = c.Execute(back.sql, back.params);
        QVERIFY2(stored && c.CommitTrans(), qPrintable(stored.description()));
        QCOMPARE(db_.row(u"h3"_s, u"name, data, creator"_s), (QStringList{u"third"_s, u"x"_s, u"bob"_s}));
    }

    void trash() {
        const QString original = history(u"h2"_s).at(0).mid(1).join(u'|'); // before the trailing blank went
        const QList<QStringList> trashed = rows(history::trashStatement(kCompanion, db_.name()));
        QCOMPARE(trashed.size(), 1); // h3 was saved and stored again: not in the trash
        QCOMPARE(trashed.first().at(1), u"h2"_s);
        const std::optional<SqlParams> deleted = restorable(trashed.first().at(0).toLongLong());
        QVERIFY(deleted);
        const history::Statement restore = history::restoreStatement(db_.name(), *deleted);
        CHECK_SQL(db_.exec(restore.sql, restore.params));
        const QStringList restored =
            db_.query(u"SELECT %1 FROM SearchTxt_Data WHERE dataid = 'h2'"_s.arg(kExact)).value(0);
        QCOMPARE(restored, history(u"h2"_s).at(1).mid(1)); // the deleted row, byte for byte, NULLs included
        QVERIFY(restored.join(u'|') != original);
        QVERIFY(rows(history::trashStatement(kCompanion, db_.name())).isEmpty());
        // A record of that id is there now: a second restore is refused and changes nothing.
        const Status again = db_.admin().Execute(restore.sql, restore.params);
        QVERIFY(!again);
        QCOMPARE(again.error().nativeError, unsigned(ER_DUP_ENTRY));
    }

    // "历史版本…" and "回收站…" are offered where the history is installed, and only there.
    void offered_data() {
        columns<bool>("installed");
        row("installed", true);
        row("not installed", false);
    }
    void offered() {
        QFETCH(bool, installed);
        const auto control = listed(installed ? db_ : none_, u"t"_s);
        QTest::mouseClick(control->List1->viewport(), Qt::RightButton, {}, QPoint(5, 5));
        QVERIFY(handlersDone());
        QTRY_VERIFY(control->Menus->isVisible());
        QCOMPARE(control->Menu[7]->isVisible(), installed);
        control->Menus->hide();
        control->Label1_Click();
        QVERIFY(handlersDone());
        QCOMPARE(control->CmdControl[2]->isVisible(), installed);
    }

    // The versions newest first, one read with its figures and marks; a restore over a change made
    // meanwhile by another client is refused and loses nothing; then it goes through, is itself kept
    // as a version, and the list and the viewer show what is stored.
    void versionsWindow() {
        CHECK_SQL(db_.insert(u"w1"_s, u"win v1"_s, u"win one"_s));
        QVERIFY(client(u"UPDATE SearchTxt_Data SET name = 'win v2', data = 'win two' WHERE dataid = 'w1'"_s));
        QVERIFY(client(u"UPDATE SearchTxt_Data SET name = 'win v3', data = 'now' WHERE dataid = 'w1'"_s));
        const auto control = listed(db_, u"win"_s);
        control->Menu_Click(7);
        QVERIFY(handlersDone());
        HistoryWindow* w = control->history().versions();
        QVERIFY(w && w->isVisible() && !w->loading());
        QCOMPARE(column(w, 3), (QStringList{u"win v2"_s, u"win v1"_s}));
        QCOMPARE(w->box->toPlainText(), u"win two"_s);
        QVERIFY2(w->status->text().contains(u"字数：7字"_s), qPrintable(w->status->text()));
        QCOMPARE(w->findChild<Highlighter*>()->occurrences().size(), 1);

        select(w, 3, u"win v1"_s);
        QVERIFY(client(u"UPDATE SearchTxt_Data SET name = 'win other' WHERE dataid = 'w1'"_s));
        boxes_.shown.clear();
        w->restoreSelected();
        QVERIFY(handlersDone());
        QVERIFY2(boxes_.lastText().contains(u"已被修改或删除"_s), qPrintable(boxes_.lastText()));
        QCOMPARE(db_.row(u"w1"_s, u"name, data"_s), (QStringList{u"win other"_s, u"now"_s}));
        QCOMPARE(w->rows(), 3); // read again: the other client's change is listed

        select(w, 3, u"win v1"_s);
        w->restoreSelected();
        QVERIFY(handlersDone());
        QVERIFY2(boxes_.lastText().startsWith(u"已恢复此版本"_s), qPrintable(boxes_.lastText()));
        QCOMPARE(db_.row(u"w1"_s, u"name, data, creator"_s), (QStringList{u"win v1"_s, u"win one"_s, u""_s}));
        QCOMPARE(column(w, 3).value(0), u"win other"_s);
        QCOMPARE(column(w, 2).value(0), u"保存"_s);
        QCOMPARE(control->List1->text(0), u"win v1"_s);
        QCOMPARE(control->RTBox->toPlainText(), u"win one"_s);
    }

    // A deleted record comes back from the trash under its id, byte for byte; one whose id was
    // stored again meanwhile is not replaced.
    void trashWindow() {
        const QString before =
            db_.query(u"SELECT %1 FROM SearchTxt_Data WHERE dataid = 'w1'"_s.arg(kExact)).value(0).join(u'|');
        const auto control = listed(db_, u"win"_s);
        boxes_.answer = MessageBoxes::Answer::Ok;
        control->DeleteTxt();
        QVERIFY(handlersDone());
        QCOMPARE(statusText(*control), u"删除成功"_s);
        control->Label1_Click();
        QVERIFY(handlersDone());
        QTest::mouseClick(control->CmdControl[2], Qt::LeftButton);
        QVERIFY(handlersDone());
        HistoryWindow* w = control->history().trash();
        QVERIFY(w && w->isVisible() && !w->loading());
        select(w, 3, u"w1"_s);
        w->restoreSelected();
        QVERIFY(handlersDone());
        QVERIFY2(boxes_.lastText().startsWith(u"已恢复记录 w1"_s), qPrintable(boxes_.lastText()));
        QCOMPARE(
            db_.query(u"SELECT %1 FROM SearchTxt_Data WHERE dataid = 'w1'"_s.arg(kExact)).value(0).join(u'|'),
            before);
        QVERIFY(!column(w, 3).contains(u"w1"_s));

        QVERIFY(client(u"DELETE FROM SearchTxt_Data WHERE dataid = 'w1'"_s));
        w->open();
        QVERIFY(handlersDone());
        select(w, 3, u"w1"_s);
        QVERIFY(client(u"INSERT INTO SearchTxt_Data (dataid, name, data) VALUES ('w1', 'theirs', 'b')"_s));
        w->restoreSelected();
        QVERIFY(handlersDone());
        QVERIFY2(boxes_.lastText().contains(u"已有编号为 w1 的记录"_s), qPrintable(boxes_.lastText()));
        QCOMPARE(db_.row(u"w1"_s, u"name"_s), QStringList{u"theirs"_s});
    }

    // What waits on the server when the control goes touches nothing of it: the popup's and the
    // control panel's question whether the history is installed, a versions list being read. A
    // confirmed restore still stores the version, with no box over a window that went.
    void goneWhileWaiting_data() {
        columns<QString>("what");
        for (const char* what : {"popup", "panel", "list", "restore"})
            row(what, QString::fromLatin1(what));
    }
    void goneWhileWaiting() {
        QFETCH(QString, what);
        const QString id = u"g-"_s + what;
        CHECK_SQL(db_.insert(id, u"gone %1 v1"_s.arg(what), u"one"_s));
        QVERIFY(client(u"UPDATE SearchTxt_Data SET name = 'gone %1 v2' WHERE dataid = '%2'"_s.arg(what, id)));
        auto control = listed(db_, u"gone "_s + what);
        if (what == u"popup")
            QTest::mouseClick(control->List1->viewport(), Qt::RightButton, {}, QPoint(5, 5));
        else if (what == u"panel")
            control->Label1_Click();
        else
            control->Menu_Click(7);
        if (what == u"restore") {
            QVERIFY(handlersDone());
            boxes_.shown.clear();
            control->history().versions()->restoreSelected();
        }
        control.reset();
        QVERIFY(handlersDone());
        if (what == u"restore") {
            QCOMPARE(db_.row(id, u"name"_s), QStringList{u"gone restore v1"_s});
            QCOMPARE(boxes_.shown.size(), 1); // the question only
        }
    }

    void purgeAndRemove() {
        CHECK_SQL(db_.exec(
            u"UPDATE %1.history SET at = at - INTERVAL 40 DAY WHERE dataid = 'h3'"_s.arg(kCompanion)));
        const int total = db_.value(u"SELECT COUNT(*) FROM %1.history"_s.arg(kCompanion)).toInt();
        const int old =
            db_.value(u"SELECT COUNT(*) FROM %1.history WHERE dataid = 'h3'"_s.arg(kCompanion)).toInt();
        QVERIFY(old >= 4);
        QString out;
        QCOMPARE(runAdmin(testdb::server(), u"qelmorand"_s, u"40628173"_s, db_.name(), {u"history"_s}, &out),
                 0);
        QCOMPARE(db_.value(u"SELECT COUNT(*) FROM %1.history"_s.arg(kCompanion)).toInt(), total);
        QCOMPARE(runAdmin(testdb::server(), u"qelmorand"_s, u"40628173"_s, db_.name(),
                          {u"history"_s, u"--keep-days"_s, u"30"_s}, &out),
                 0);
        QCOMPARE(db_.value(u"SELECT COUNT(*) FROM %1.history"_s.arg(kCompanion)).toInt(), total - old);
        QCOMPARE(db_.value(u"SELECT COUNT(*) FROM %1.history WHERE dataid = 'h3'"_s.arg(kCompanion)), u"0"_s);
        const QString checksum = db_.query(u"CHECKSUM TABLE SearchTxt_Data"_s).value(0).value(1);
        QCOMPARE(runAdmin(testdb::server(), u"qelmorand"_s, u"40628173"_s, db_.name(),
                          {u"remove"_s, u"--history"_s}, &out),
                 0);
        QCOMPARE(db_.query(u"CHECKSUM TABLE SearchTxt_Data"_s).value(0).value(1), checksum);
        QVERIFY(!db_.admin().query(history::installedStatement(kCompanion).sql));
        CHECK_SQL(db_.exec(u"DELETE FROM SearchTxt_Data WHERE dataid = 'h1'"_s)); // no trigger left to fail
    }
};

QTEST_MAIN(TstHistory)
#include "tst_history.moc"
