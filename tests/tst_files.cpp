#include "Columns.h"
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
        columns<QString, QString>("title", "name");
        row("slash and bar", u"a/b|c"_s, u"a【正斜线】b【或竖线】c.txt"_s);
        row("CR LF", u"line1\r\nline2"_s, u"line1line2.txt"_s);
        row("empty", QString(), u"（无标题）.txt"_s);
        row("NUL", u"evil\0x"_s, u"evil_x.txt"_s);
        row("NUL after a library name", u"Vornik.so\0x"_s, u"Vornik.so_x.txt"_s);
        row("controls", u"a\tb\x1b[1m\x7f\x85\rc\n"_s, u"a_b_[1m___c_.txt"_s);
        row("dot dot", u".."_s, u"（无标题）.txt"_s);
        // What a Windows client sharing the folder could not open.
        row("device names", u"CON"_s, u"_CON.txt"_s);
        row("device name, any case, before a dot", u"nul.tar"_s, u"_nul.tar.txt"_s);
        row("COM1 but not COM10", u"com1 "_s, u"_com1.txt"_s);
        row("COM10", u"COM10"_s, u"COM10.txt"_s);
        row("characters Windows refuses", u"a:b*c?\"<>\\"_s, u"a：b＊c？＂＜＞＼.txt"_s);
        row("blanks and dots at the end", u"x. . "_s, u"x.txt"_s);
        row("lone surrogate", u"a"_s + QChar(0xD800), u"a\uFFFD.txt"_s);
        // 83 characters of 3 bytes and ".txt" fit 255 bytes; 84 do not.
        row("long Chinese", QString(100, u'中'), QString(83, u'中') + ".txt");
        row("emoji not split", QString(250, u'a') + u"😀"_s, QString(250, u'a') + ".txt");
    }
    void exportName() {
        QFETCH(QString, title);
        QTEST(exportFileName(title), "name");
    }
    // One export's names: every title a file of its own, the later ones numbered in list order.
    void exportNames_data() {
        columns<QStringList, QStringList>("titles", "names");
        row("same titles", QStringList{u"月夜"_s, u"无题・其一"_s, u"月夜"_s, u"无题・其一"_s},
            QStringList{u"月夜.txt"_s, u"无题・其一.txt"_s, u"月夜 (2).txt"_s, u"无题・其一 (2).txt"_s});
        row("cleaned alike", QStringList{u"expc/1"_s, u"expc【正斜线】1"_s, u"x\r\ny"_s, u"xy"_s},
            QStringList{u"expc【正斜线】1.txt"_s, u"expc【正斜线】1 (2).txt"_s, u"xy.txt"_s,
                        u"xy (2).txt"_s});
        row("letter case, as Windows compares", QStringList{u"Note"_s, u"NOTE"_s},
            QStringList{u"Note.txt"_s, u"NOTE (2).txt"_s});
        row("a number already taken", QStringList{u"a"_s, u"a (2)"_s, u"a"_s},
            QStringList{u"a.txt"_s, u"a (2).txt"_s, u"a (3).txt"_s});
        row("equal in their first 251 bytes",
            QStringList{QString(300, u'L') + u"1"_s, QString(300, u'L') + u"2"_s},
            QStringList{QString(251, u'L') + u".txt"_s, QString(247, u'L') + u" (2).txt"_s});
    }
    void exportNames() {
        QFETCH(QStringList, titles);
        ExportNames names;
        QStringList taken;
        for (const QString& title : titles)
            taken << names.take(title);
        QTEST(taken, "names");
    }
    void ansiBytes_data() {
        columns<QString, QByteArray, bool>("text", "bytes", "gb18030");
        const QString gbk = u"中文 ASCII ，€【】\r\n"_s;
        const QByteArray emoji = QByteArray::fromHex("9439fc36");
        row("all GBK", gbk, toGbk(gbk), false);
        row("emoji", u"表情 😀 记录"_s, toGbk(u"表情 "_s) + emoji + toGbk(u" 记录"_s), true);
        row("emoji, euro", u"正文含 😀 与 €"_s, toGbk(u"正文含 "_s) + emoji + " \xd3\xeb \x80", true);
        row("pair across pieces", QString(1023, u'a') + u"😀"_s, QByteArray(1023, 'a') + emoji, true);
    }
    void ansiBytes() {
        QFETCH(QString, text);
        const Result<AnsiBytes> ansi = toAnsiBytes(text);
        QVERIFY(ansi);
        QTEST(ansi.value().bytes, "bytes");
        QTEST(ansi.value().usedGb18030, "gb18030");
    }
    void wholeFile_data() {
        // setup: what is at the path beforehand, or how the write fails
        // given: permissions given: owner read and write only
        // mode: of the file written; -1: refused
        columns<QString, int, bool, int>("setup", "mask", "given", "mode");
        row("new, umask 077", "none", 077, false, 0600);
        row("new, umask 022", "none", 022, false, 0644);
        row("new, 0600 given", "none", 022, true, 0600);
        row("old 0640 replaced whole", "old", 077, false, 0640);
        row("old, 255-byte name, 0600 given", "long", 022, true, 0600);
        row("symbolic link", "link", 022, false, -1);
        row("write fails", "full", 022, false, -1);
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
        columns<QString, bool>("setup", "ok");
        row("symbolic link to an own folder", "link", false);
        row("missing with its parent", "missing", true);
        if (::geteuid() == 0) // only root can give a folder to another user
            row("another user's", "other", false);
    }
    // The export folder and its Txt/, opened for writing through their handles: refused where others
    // could swap what is in them, but for a sticky shared folder holding a Txt/ of our own.
    void writableFolder_data() {
        // txtMode: 0: made by the export
        // refused: which one, or empty
        columns<int, int, QString>("folderMode", "txtMode", "refused");
        row("own folders", 0755, 0, "");
        row("shared folder", 0777, 0, "lib");
        row("group may write", 0775, 0755, "lib");
        row("sticky shared folder", 01777, 0, "");
        row("sticky, Txt others may write", 01777, 0777, "Txt");
        row("Txt the group may write", 0755, 0775, "Txt");
    }
    void writableFolder() {
        QFETCH(int, folderMode);
        QFETCH(int, txtMode);
        QFETCH(QString, refused);
        QTemporaryDir base;
        const QString lib = base.path() + "/lib";
        QVERIFY(QDir().mkpath(lib + (txtMode ? "/Txt" : "")));
        QVERIFY(::chmod(QFile::encodeName(lib).constData(), mode_t(folderMode)) == 0);
        QVERIFY(!txtMode || ::chmod(QFile::encodeName(lib + "/Txt").constData(), mode_t(txtMode)) == 0);
        const Result<FolderHandle> folder = openWritableFolder(lib);
        const Result<FolderHandle> txt =
            folder ? openOwnSubfolder(folder.value(), u"Txt"_s) : Result<FolderHandle>(folder.error());
        const QString why = txt ? QString() : txt.error().description;
        QVERIFY2(refused.isEmpty() == txt.ok(), qPrintable(why));
        QVERIFY2(txt || (why.contains(refused == "Txt" ? lib + "/Txt" : lib) &&
                         why.contains(u"其他用户也可以写入"_s)),
                 qPrintable(why));
        QVERIFY(!txt || writeWholeFileAt(txt.value(), u"f.txt"_s, "x").ok());
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
