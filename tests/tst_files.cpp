#include "util/ExportName.h"
#include "util/Gbk.h"
#include "util/WholeFile.h"

#include <QtTest>

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>

using namespace Qt::Literals::StringLiterals;

static int modeOf(const QString& path) {
    struct stat st {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 0777) : -1;
}

// What the program writes to disk: file names, text bytes, the files and the folders they go to.
class TestFiles : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void exportName_data() {
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("name");
        QTest::newRow("slash and bar") << u"a/b|c"_s << u"a【正斜线】b【或竖线】c.txt"_s;
        QTest::newRow("CR LF") << u"line1\r\nline2"_s << u"line1line2.txt"_s;
        QTest::newRow("empty") << QString() << u"（无标题）.txt"_s;
        QTest::newRow("NUL") << u"evil\0x"_s << u"evil_x.txt"_s;
        QTest::newRow("NUL after a library name") << u"Vornik.so\0x"_s << u"Vornik.so_x.txt"_s;
        QTest::newRow("controls") << u"a\tb\x1b[1m\x7f\x85\rc\n"_s << u"a_b_[1m___c_.txt"_s;
        QTest::newRow("dot dot") << u".."_s << u"...txt"_s;
        QTest::newRow("lone surrogate") << u"a"_s + QChar(0xD800) << u"a\uFFFD.txt"_s;
        // 83 characters of 3 bytes and ".txt" fit 255 bytes; 84 do not.
        QTest::newRow("long Chinese") << QString(100, u'中') << QString(83, u'中') + ".txt";
        QTest::newRow("emoji not split") << QString(250, u'a') + u"😀"_s << QString(250, u'a') + ".txt";
    }
    void exportName() {
        QFETCH(QString, title);
        QTEST(exportFileName(title), "name");
    }
    void ansiBytes_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("gb18030");
        const QString gbk = u"中文 ASCII ，€【】\r\n"_s;
        const QByteArray emoji = QByteArray::fromHex("9439fc36");
        QTest::newRow("all GBK") << gbk << toGbk(gbk) << false;
        QTest::newRow("emoji") << u"表情 😀 记录"_s << toGbk(u"表情 "_s) + emoji + toGbk(u" 记录"_s) << true;
        QTest::newRow("emoji, euro") << u"正文含 😀 与 €"_s << toGbk(u"正文含 "_s) + emoji + " \xd3\xeb \x80"
                                     << true;
        QTest::newRow("pair across pieces")
            << QString(1023, u'a') + u"😀"_s << QByteArray(1023, 'a') + emoji << true;
    }
    void ansiBytes() {
        QFETCH(QString, text);
        const Result<AnsiBytes> ansi = toAnsiBytes(text);
        QVERIFY(ansi);
        QTEST(ansi.value().bytes, "bytes");
        QTEST(ansi.value().usedGb18030, "gb18030");
    }
    void wholeFile_data() {
        QTest::addColumn<QString>("setup"); // what is at the path beforehand, or how the write fails
        QTest::addColumn<int>("mask");
        QTest::addColumn<bool>("given"); // permissions given: owner read and write only
        QTest::addColumn<int>("mode");   // of the file written; -1: refused
        QTest::newRow("new, umask 077") << "none" << 077 << false << 0600;
        QTest::newRow("new, umask 022") << "none" << 022 << false << 0644;
        QTest::newRow("new, 0600 given") << "none" << 022 << true << 0600;
        QTest::newRow("old 0640 replaced whole") << "old" << 077 << false << 0640;
        QTest::newRow("old, 255-byte name, 0600 given") << "long" << 022 << true << 0600;
        QTest::newRow("symbolic link") << "link" << 022 << false << -1;
        QTest::newRow("write fails") << "full" << 022 << false << -1;
    }
    void wholeFile() {
        QFETCH(QString, setup);
        QFETCH(int, mask);
        QFETCH(bool, given);
        QFETCH(int, mode);
        QTemporaryDir base;
        const QString folder = base.path() + "/Txt/", name = setup == "long" ? QString(255, u'a') : u"f"_s;
        // A link planted in the folder points at a file outside it.
        QFile old(setup == "link" ? base.path() + "/elsewhere" : folder + name);
        QVERIFY(QDir().mkpath(folder));
        QVERIFY(setup == "none" ||
                (old.open(QIODevice::WriteOnly) && old.write("old text, longer") && old.flush() &&
                 old.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup)));
        QVERIFY(setup != "link" || QFile::link(old.fileName(), folder + name));
        old.close();
        rlimit limit{};
        ::getrlimit(RLIMIT_FSIZE, &limit);
        const rlimit full{setup == "full" ? 4 : limit.rlim_cur, limit.rlim_max}; // files end after 4 bytes
        std::signal(SIGXFSZ, SIG_IGN);
        ::setrlimit(RLIMIT_FSIZE, &full);
        const mode_t umaskBefore = ::umask(mode_t(mask));
        const auto ownerOnly = given ? std::optional(QFile::ReadOwner | QFile::WriteOwner) : std::nullopt;
        const Status status = writeWholeFile(folder + name, "new text", ownerOnly);
        ::umask(umaskBefore);
        ::setrlimit(RLIMIT_FSIZE, &limit);
        QVERIFY2(status.ok() == (mode >= 0) && (status.ok() || status.description().contains(name)),
                 qPrintable(status.description()));
        QVERIFY(old.open(QIODevice::ReadOnly));
        QCOMPARE(old.readAll(), QByteArray(mode >= 0 ? "new text" : "old text, longer"));
        QCOMPARE(mode < 0 ? mode : modeOf(folder + name), mode);
        // Nothing else is left in the folder.
        QCOMPARE(QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList{name});
    }
    void ownFolder_data() { // made when missing, then checked
        QTest::addColumn<QString>("setup");
        QTest::addColumn<bool>("ok");
        QTest::newRow("symbolic link to an own folder") << "link" << false;
        QTest::newRow("missing with its parent") << "missing" << true;
        if (::geteuid() == 0) // only root can give a folder to another user
            QTest::newRow("another user's") << "other" << false;
    }
    void ownFolder() {
        QFETCH(QString, setup);
        QTemporaryDir base;
        const QString path = base.path() + (setup == "missing" ? "/a/Txt" : "/Txt");
        QVERIFY(QDir().mkpath(setup == "other" ? path : base.path() + "/real"));
        QVERIFY(setup != "link" || QFile::link(base.path() + "/real", path));
        QVERIFY(setup != "other" || ::chown(QFile::encodeName(path).constData(), 65534, 65534) == 0);
        const mode_t umaskBefore = ::umask(022);
        // Callers pass folders with a trailing slash, which must not look through a link.
        const Status made = makeOwnFolder(path + u'/'), checked = checkOwnFolder(path + u'/');
        ::umask(umaskBefore);
        QTEST(made.ok(), "ok");
        QTEST(checked.ok(), "ok");
        QVERIFY2(made ? modeOf(path) == 0755 : checked.description().contains(path),
                 qPrintable(checked.description()));
    }
};

QTEST_GUILESS_MAIN(TestFiles)
#include "tst_files.moc"
