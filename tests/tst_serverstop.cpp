// The server stopped under the control, and started again: the control says so on its status line,
// keeps what it listed, and the next search reconnects with the held account by itself. Runs a
// MariaDB server of its own (scripts/lib.sh), since it stops it.
#include "Columns.h"
#include "Fixture.h"
#include "FreshControl.h"
#include "PrivateServer.h"
#include "ScratchDb.h"
#include "control/uVornik.h"
#include "database/ConnDatabase.h"
#include "database/Session.h"

#include <QTextEdit>
#include <QtTest>

#include <atomic>

namespace {

constexpr int kRecords = 40000; // about 48 MB: more than the socket buffers hold, so a stop lands mid-way

} // namespace

class TestServerStop : public QObject, WithBoxes, WithPrompt {
    Q_OBJECT

    PrivateServer server;
    ScratchDb db{QStringLiteral("vornik_test_serverstop")};
    std::unique_ptr<uVornik> control;
    StatusLog statuses;

    void search(bool titlesOnly, const QString& key) { ::search(*control, titlesOnly, key); }

private Q_SLOTS:
    void initTestCase() {
        REQUIRE_DB(); // a run that has servers at all
        QString error;
        QVERIFY2(server.start({}, &error), qPrintable(error));
        QVERIFY(db.create(nullptr, server.server()));
        qputenv("XDG_CONFIG_HOME", (server.folder() + QStringLiteral("/config")).toUtf8());
        CHECK_SQL(db.exec(
            QStringLiteral(
                "INSERT INTO SearchTxt_Data (dataid,name,data,`desc`,`keys`,creator) "
                "SELECT LPAD(seq, 19, '0'), CONCAT('row ', seq), REPEAT('正文 body ', 100), '', '', '' "
                "FROM seq_1_to_%1")
                .arg(kRecords)));
    }

    void init() {
        control = shownControl(statuses);
        db.pointSettingsHere();
        boxes.shown.clear();
        prompt.asked = 0;
    }
    void cleanup() {
        control.reset();
        if (!server.running())
            QVERIFY(server.start());
    }

    void serverStopped_data() {
        columns<bool, bool>("duringLoad", "backBeforeSearch");
        row("during a full-text load", true, false);
        row("between searches, still down at the next", false, false);
        row("between searches, back at the next", false, true);
    }
    void serverStopped() {
        QFETCH(bool, duringLoad);
        QFETCH(bool, backBeforeSearch);
        search(false, QString());
        QCOMPARE(statusText(*control), QStringLiteral("loaded OK"));
        QCOMPARE(control->List1->count(), kRecords);
        const QStringList before = control->results().names.toStringList();

        std::atomic<bool> stopped = false;
        if (duringLoad) {
            // On the connection's thread, once rows are arriving: the transfer waits for the stop.
            sharedSession().connectionSlot()->setRowsReceivedHook([&](qint64) {
                if (!stopped.exchange(true))
                    server.stop();
            });
        } else {
            stopped = server.stop();
            if (backBeforeSearch)
                QVERIFY(server.start());
        }
        statuses.clear();
        search(false, QString());
        sharedSession().connectionSlot()->setRowsReceivedHook({});
        QVERIFY(stopped);
        QVERIFY(boxes.shown.isEmpty());
        QCOMPARE(prompt.asked, 0);
        if (backBeforeSearch) {
            // The session the server ended is replaced before the statement is sent.
            QCOMPARE(statusText(*control), QStringLiteral("loaded OK"));
        } else {
            // A clear message, and what was listed stays.
            QVERIFY2(statusText(*control).startsWith(QStringLiteral("uVornik.SearchTxtData Error:")),
                     qPrintable(statusText(*control)));
            QVERIFY2(statusText(*control).size() > 40, qPrintable(statusText(*control)));
            QVERIFY(!statuses.contains(QStringLiteral("loaded OK")));
            QCOMPARE(control->List1->count(), kRecords);
            QCOMPARE(control->results().names.toStringList(), before);
            QVERIFY(server.start());
        }

        // The next search reconnects with the held account, without asking anybody.
        search(false, QStringLiteral("row 12345"));
        QCOMPARE(statusText(*control), QStringLiteral("loaded OK"));
        QCOMPARE(control->List1->count(), 1);
        QCOMPARE(control->List1->text(0), QStringLiteral("row 12345"));
        QCOMPARE(prompt.asked, 0);
    }

    // A click while the server is down says so and leaves the viewer empty; once it is back, the
    // next click reconnects and shows its record, as the commands do.
    void viewerClickDuringAnOutage() {
        search(true, QStringLiteral("row 1234"));
        QCOMPARE(statusText(*control), QStringLiteral("loaded OK"));
        control->RTBox->setPlainText(QStringLiteral("an earlier record"));
        QVERIFY(server.stop());
        control->List1->selectRow(0);
        QVERIFY(handlersDone());
        QVERIFY2(statusText(*control).startsWith(QStringLiteral("uVornik.List1_Click Error:")),
                 qPrintable(statusText(*control)));
        QCOMPARE(control->RTBox->toPlainText(), QString());
        QVERIFY(server.start());
        control->List1->selectRow(1);
        QVERIFY(handlersDone());
        QVERIFY2(statusText(*control).startsWith(QStringLiteral("共：1/")), qPrintable(statusText(*control)));
        QVERIFY(control->RTBox->toPlainText().startsWith(QStringLiteral("正文 body")));
        QCOMPARE(prompt.asked, 0);
    }

    void cleanupTestCase() {
        control.reset();
        sharedSession().connectionSlot().reset();
    }
};

QTEST_MAIN(TestServerStop)
#include "tst_serverstop.moc"
