// Sessions that a server's own settings cannot subvert: servers whose init_connect switches the
// backslash mode or the character set after the login reply, one whose client handshake is ignored,
// and one restarted into another mode while the program is connected. Hostile values stay values,
// a delete removes exactly its row, and text reads back exactly, the first statement after an open
// included. Also, over TLS as without: a statement the client stopped waiting for, or cancelled, ends
// in time and does not keep running on the server, and a server that stops answering costs at most the
// read time-out; and no copy of a password or its digest outlives "重新登录", however the login came.
#include "Columns.h"
#include "FakeSecretStore.h"
#include "Fixture.h"
#include "FreshControl.h"
#include "PrivateServer.h"
#include "ScratchDb.h"
#include "Sync.h"
#include "database/ConnDatabase.h"
#include "database/Session.h"
#include "forms/FrmDataBaseLogin.h"
#include "util/Md5Digest.h"
#include "util/Secret.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTextEdit>
#include <QTimer>
#include <QtTest>

#include <csignal>

namespace {

const QString kEvilId = QStringLiteral("x' or 1=1 -- "); // 13 characters: fits the id column
const QString kQuoteTitle = QStringLiteral("中'");
const QString kTrickyBody = QStringLiteral("中文 ' \\ \" 内容 😀");

// A password that appears nowhere in this program's files: stored masked, unmasked only to be typed.
constexpr unsigned char kMask = 0x5A;
constexpr unsigned char kMaskedPassword[] = {0x0d, 0x2b, 0x6d, 0x77, 0x20, 0x3f, 0x38, 0x28, 0x3b,
                                             0x77, 0x11, 0x33, 0x2e, 0x3f, 0x77, 0x6e, 0x6e, 0x6b,
                                             0x6d, 0x77, 0x29, 0x3f, 0x39, 0x28, 0x3f, 0x2e};
// The server keeps only this hash of it.
const QString kPasswordHash = QStringLiteral("*1BE35EC5621B4EE7AEADF46BD030C041CD8B4978");

QString unmasked() {
    QString typed(sizeof kMaskedPassword, Qt::Uninitialized);
    for (std::size_t i = 0; i < sizeof kMaskedPassword; ++i)
        typed[static_cast<qsizetype>(i)] = QChar(kMaskedPassword[i] ^ kMask);
    return typed;
}

// The password's digest (what a remembered login's settings file holds), masked in turn.
std::vector<unsigned char> maskedDigest() {
    QString password = unmasked();
    QString digest = md5Digest(password, 32).value();
    std::vector<unsigned char> masked;
    for (const QChar c : digest)
        masked.push_back(static_cast<unsigned char>(c.unicode() ^ kMask));
    wipe(password);
    wipe(digest);
    return masked;
}

// How often the masked text is found in this process's memory, as UTF-8 or as UTF-16: every readable
// mapping, freed heap included. Compared masked, so the search itself holds no copy.
int copiesInMemory(const std::vector<unsigned char>& masked) {
    const std::size_t n = masked.size();
    auto matchesAt = [&](const unsigned char* p, std::size_t stride) {
        for (std::size_t k = 0; k < n; ++k)
            if ((p[k * stride] ^ kMask) != masked[k] || (stride == 2 && p[k * 2 + 1] != 0))
                return false;
        return true;
    };
    QFile maps(QStringLiteral("/proc/self/maps"));
    QFile mem(QStringLiteral("/proc/self/mem"));
    if (!maps.open(QIODevice::ReadOnly) || !mem.open(QIODevice::ReadOnly))
        return -1;
    // Read in pieces that overlap by a pattern's length; the address-sanitizer's shadow (terabytes,
    // never the program's data) is passed over.
    constexpr quint64 kPiece = 64 << 20;
    constexpr quint64 kTooLarge = quint64(16) << 30;
    int found = 0;
    std::vector<unsigned char> buffer;
    for (const QByteArray& line : maps.readAll().split('\n')) {
        const QList<QByteArray> f = line.simplified().split(' ');
        if (f.size() < 2 || f[1].at(0) != 'r' || line.contains("[vvar]") || line.contains("[vsyscall]"))
            continue;
        const QList<QByteArray> range = f[0].split('-');
        const quint64 begin = range[0].toULongLong(nullptr, 16);
        const quint64 end = range[1].toULongLong(nullptr, 16);
        if (end - begin > kTooLarge)
            continue;
        for (quint64 at = begin; at < end; at += kPiece) {
            buffer.resize(static_cast<std::size_t>(std::min(end - at, kPiece + 2 * n)));
            if (!mem.seek(static_cast<qint64>(at)) ||
                mem.read(reinterpret_cast<char*>(buffer.data()), static_cast<qint64>(buffer.size())) !=
                    static_cast<qint64>(buffer.size()))
                continue;
            for (std::size_t i = 0; i + 2 * n <= buffer.size() && i < kPiece; ++i) {
                if ((buffer[i] ^ kMask) == masked[0] &&
                    (matchesAt(&buffer[i], 1) || matchesAt(&buffer[i], 2))) {
                    ++found;
                    qWarning().noquote() << "copy at" << Qt::hex << at + i << "in" << line;
                }
            }
        }
    }
    return found;
}

int passwordCopiesInMemory() {
    return copiesInMemory({std::begin(kMaskedPassword), std::end(kMaskedPassword)});
}

const QString kNoBackslashEscapes =
    QStringLiteral("--init-connect=SET SESSION sql_mode=CONCAT(@@sql_mode,',NO_BACKSLASH_ESCAPES')");

} // namespace

class TestSessions : public QObject, WithBoxes, WithPrompt, WithConfig {
    Q_OBJECT

    PrivateServer server;
    ScratchDb db{QStringLiteral("vornik_test_sessions")};
    std::unique_ptr<uVornik> control;
    QStringList tls;     // the server's TLS options, as a team's server has them
    bool serving = true; // TLS, as it was started

    // Restarts the server with `options`, with or without TLS.
    bool restart(const QStringList& options, bool withTls = true) {
        QString error;
        serving = withTls;
        const bool ok = server.restart(options + (withTls ? tls : QStringList()), &error);
        if (!ok)
            qWarning().noquote() << error;
        return ok;
    }

    // The next command opens the connection afresh, so its first statement follows an open.
    void reopenNext() {
        if (sharedSession().connectionSlot())
            sharedSession().connectionSlot()->Close();
    }

private Q_SLOTS:
    void initTestCase() {
        REQUIRE_DB();
        QVERIFY(useConfig()); // never the user's own settings file
        QString error;
        tls = server.tlsOptions();
        QVERIFY2(server.start(tls, &error), qPrintable(error));
        QVERIFY2(db.create(&error, server.server()), qPrintable(error));
    }

    void init() {
        control = freshControl();
        db.pointSettingsHere();
    }

    void hostileSessionSettings_data() {
        columns<QStringList, bool, bool>("options", "restartWhileConnected", "noBackslashEscapes");
        row("init_connect NO_BACKSLASH_ESCAPES", QStringList{kNoBackslashEscapes}, false, true);
        row("init_connect SET NAMES gbk", QStringList{"--init-connect=SET NAMES gbk"}, false, false);
        row("handshake ignored, GBK server",
            QStringList{"--character-set-server=gbk", "--collation-server=gbk_chinese_ci",
                        "--skip-character-set-client-handshake"},
            false, false);
        row("restarted into NO_BACKSLASH_ESCAPES",
            QStringList{"--sql-mode=STRICT_TRANS_TABLES,NO_BACKSLASH_ESCAPES"}, true, true);
    }
    void hostileSessionSettings() {
        QFETCH(QStringList, options);
        QFETCH(bool, restartWhileConnected);
        QFETCH(bool, noBackslashEscapes);
        QVERIFY(restart(restartWhileConnected ? QStringList{} : options));
        CHECK_SQL(db.exec(QStringLiteral("DELETE FROM SearchTxt_Data")));
        CHECK_SQL(db.insert(QStringLiteral("s1"), kEvilId, QStringLiteral("plain")));
        CHECK_SQL(db.insert(QStringLiteral("s2"), kQuoteTitle, kTrickyBody));
        CHECK_SQL(db.insert(kEvilId, QStringLiteral("evil id"), QStringLiteral("planted")));
        CHECK_SQL(db.insert(QStringLiteral("s3"), QStringLiteral("bystander"), QStringLiteral("keep")));
        if (restartWhileConnected) {
            search(*control, true, QStringLiteral("bystander"));
            QCOMPARE(statusText(*control), QStringLiteral("loaded OK"));
            QVERIFY(restart(options));
        } else {
            reopenNext();
        }

        // A quote in the search value is a quote: one title holds it, nothing else is listed.
        search(*control, true, kEvilId);
        QCOMPARE(statusText(*control), QStringLiteral("loaded OK"));
        QCOMPARE(listedTitles(*control), QStringList{kEvilId});
        QCOMPARE(sharedSession().connectionSlot()->noBackslashEscapes(), noBackslashEscapes);
        reopenNext();
        search(*control, false, kQuoteTitle);
        QCOMPARE(listedTitles(*control), QStringList{kQuoteTitle});
        // Text reads back exactly, and the session speaks utf8mb4 whatever the server set.
        control->List1->selectRow(0);
        QVERIFY(handlersDone());
        QCOMPARE(control->RTBox->toPlainText(), kTrickyBody);
        QCOMPARE(control->RsOpen(QStringLiteral("select @@character_set_client as c")), QString());
        QCOMPARE(control->Rs()->text(QStringLiteral("c")).value(), QStringLiteral("utf8mb4"));
        // A planted id deletes its own row and nothing else.
        reopenNext();
        search(*control, true, QStringLiteral("evil id"));
        control->List1->selectRow(0);
        QVERIFY(handlersDone());
        reopenNext();
        control->Menu_Click(1);
        QVERIFY(handlersDone());
        QCOMPARE(statusText(*control), QStringLiteral("删除成功"));
        QCOMPARE(db.column(QStringLiteral("dataid")), (QStringList{"s1", "s2", "s3"}));
        QCOMPARE(prompt.asked, 0);
    }

    // A statement the client stopped waiting for (read time-out) or cancelled ends in time and is gone
    // from the server; one whose server froze (SIGSTOP) costs the read time-out. On TLS as without.
    void statementEnds_data() {
        columns<bool, QString>("withTls", "how");
        for (const bool withTls : {true, false})
            for (const char* how : {"read time-out", "cancel after 1 s", "server frozen after 1 s"})
                QTest::addRow("%s, %s", withTls ? "TLS" : "plain", how) << withTls << QString(how);
    }
    void statementEnds() {
        QFETCH(bool, withTls);
        QFETCH(QString, how);
        if (serving != withTls)
            QVERIFY(restart({}, withTls));
        Connection c;
        c.setReadTimeoutSeconds(2);
        QVERIFY(c.Open(server.connectionString()));
        const auto cipher = c.query(QStringLiteral("SHOW SESSION STATUS LIKE 'Ssl_cipher'"));
        QVERIFY(cipher && cipher.value().result && cipher.value().result->rowCount() == 1);
        QCOMPARE(!cipher.value().result->columns[1].at(0).isEmpty(), withTls);
        const bool frozen = how.startsWith(u"server"), cancelled = how.startsWith(u"cancel");
        const auto cancel = std::make_shared<Cancellation>();
        const qint64 pid = server.pid();
        QTimer::singleShot(1000, this,
                           [&] { cancelled ? cancel->cancel() : void(frozen && ::kill(pid, SIGSTOP)); });
        const auto thaw = qScopeGuard([&] { ::kill(pid, SIGCONT); });
        QElapsedTimer clock;
        clock.start();
        // Frozen before its end: it would end by itself after 1.5 s.
        const auto r = c.query(frozen ? QStringLiteral("select sleep(1.5) as vornik_end_probe")
                                      : QStringLiteral("select sleep(15) as vornik_end_probe"),
                               {}, cancel);
        const qint64 took = clock.elapsed();
        ::kill(pid, SIGCONT);
        qInfo("%s: ended after %lld ms", qPrintable(how), took);
        QVERIFY(!r);
        QVERIFY2(cancelled ? r.error().cancelled : r.error().isTimeout(), qPrintable(r.error().description));
        const qint64 expected = cancelled ? 1000 : 2000;
        QVERIFY2(took >= expected - 50 && took < expected + 1500, qPrintable(QString::number(took)));
        if (frozen)
            return; // its kill reaches the server when it wakes; the statement ended by itself meanwhile
        const QString running =
            QStringLiteral("select count(*) from information_schema.processlist where info "
                           "like '%vornik_end_probe%' and info not like '%processlist%'");
        QTRY_COMPARE_WITH_TIMEOUT(db.value(running), QStringLiteral("0"), 1000);
        // A cancel keeps the session for the next statement.
        QCOMPARE(c.query(QStringLiteral("select 1")).ok(), cancelled);
    }

    // After "重新登录" no copy of the password, or of its digest, is left anywhere in the process: not in
    // the settings, the settings reader, the dialog, the secret store, the connection or the client
    // library; whether the login came through the dialog, a settings file with the password in clear
    // (also one whose open failed) or one with its digest and the password kept in the secret store.
    void reloginLeavesNoPasswordInMemory_data() {
        columns<QString>("login");
        row("dialog", "dialog");
        row("file, clear dbPwd", "clear");
        row("file, clear dbPwd, failed open", "failed");
        row("file, digest, secret store", "kept");
    }
    void reloginLeavesNoPasswordInMemory() {
        QFETCH(QString, login);
        if (!serving)
            QVERIFY(restart({}));
        QVERIFY(server.admin(
            QStringLiteral("CREATE USER IF NOT EXISTS 'vornik_secret'@'%' IDENTIFIED BY PASSWORD '") +
            kPasswordHash + QStringLiteral("'; GRANT ALL ON qelmorand.* TO 'vornik_secret'@'%'")));
        sharedSession().forget();
        FakeSecretStore secrets;
        ScopedSeam<SecretStore> secretSeam(setSecretStore, &secrets);
        const std::vector<unsigned char> digest = maskedDigest();
        if (login != u"dialog") {
            // Written without a buffer of the file's own; the password goes in byte by byte.
            QByteArray text;
            text.reserve(512);
            text += "[main]\r\ndbServerIP = " + server.server().toLatin1() +
                    "\r\ndbName = " + (login == u"failed" ? "vornik_nowhere" : "qelmorand") +
                    "\r\ndbUse = vornik_secret\r\ndbPwd = ";
            for (const unsigned char c :
                 login == u"kept" ? digest
                                  : std::vector(std::begin(kMaskedPassword), std::end(kMaskedPassword)))
                text += char(c ^ kMask);
            text += "\r\n";
            QDir().mkpath(config.filePath(QStringLiteral("vornik")));
            QFile file(mConnDatabase::userSettingsPath());
            QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Unbuffered) &&
                    file.write(text) == text.size());
            wipe(text);
            if (login == u"kept") {
                QString password = unmasked();
                secrets.kept[secretKey(server.server(), QStringLiteral("qelmorand"),
                                       QStringLiteral("vornik_secret"))] = password;
                wipe(password);
            }
        }
        QTimer typist;
        connect(&typist, &QTimer::timeout, this, [&] {
            auto* dialog = qobject_cast<FrmDataBaseLogin*>(QApplication::activeModalWidget());
            if (!dialog)
                return;
            typist.stop();
            dialog->cbodbServerIP->setEditText(server.server());
            dialog->TxtDbName->setText(QStringLiteral("qelmorand"));
            dialog->txtdbUse->setText(QStringLiteral("vornik_secret"));
            QString typed = unmasked();
            QTest::keyClicks(dialog->txtdbPwd, typed);
            wipe(typed);
            QTest::mouseClick(dialog->cmdOK, Qt::LeftButton);
        });
        if (login == u"dialog")
            typist.start(20);
        {
            ScopedSeam realDialog(mConnDatabase::setLoginPrompt, nullptr);
            search(*control, true, QStringLiteral("bystander"));
        }
        if (login != u"failed") {
            QCOMPARE(statusText(*control), QStringLiteral("loaded OK"));
            QCOMPARE(sharedSession().settings().user, QStringLiteral("vornik_secret"));
            QVERIFY(passwordCopiesInMemory() > 0); // held while logged in: the search finds it
        } else {
            QVERIFY(statusText(*control) != u"loaded OK");
        }
        control->CmdControl_Click(1);
        QVERIFY(handlersDone());
        QTRY_VERIFY(
            !sharedSession().connectionSlot()->isBusy()); // the connection's thread has closed its handle
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCOMPARE(passwordCopiesInMemory(), 0);
        QCOMPARE(copiesInMemory(digest), 0);
    }

    void cleanupTestCase() {
        control.reset();
        sharedSession().connectionSlot().reset();
    }
};

QTEST_MAIN(TestSessions)
#include "tst_sessions.moc"
