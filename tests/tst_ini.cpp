#include "Columns.h"
#include "util/Gbk.h"
#include "util/IniReader.h"
#include "util/Md5Digest.h"

#include <QTemporaryDir>
#include <QtTest>

class TestIni : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void readsValue_data();
    void readsValue();
    void loginDialogSample_data();
    void loginDialogSample();
    void missingFile();

private:
    QTemporaryDir m_dir;
};

static QByteArray gbk(const QString& s) {
    return toGbk(s);
}

void TestIni::readsValue_data() {
    columns<QByteArray, QString, QString, QString>("content", "section", "key", "expected");
    const QString a254(254, u'a'), han127(127, u'张');
    auto row = [](const char* name, const QString& content, const QString& section, const QString& key,
                  const QString& expected) { ::row(name, gbk(content), section, key, expected); };

    row("blanks around =", "[main]\r\ndbUse = x y \r\n", "main", "dbUse", "x y");
    row("no blanks", "[main]\r\ndbUse=x\r\n", "main", "dbUse", "x");
    row("tabs", "\t[main]\t\r\n\tdbUse\t=\t x\t\r\n", "main", "dbUse", "x");
    row("key case", "[main]\r\nDBUSE = x\r\n", "main", "dbuse", "x");
    row("section case, blanks", "[ MAIN ]\r\ndbUse = x\r\n", "Main", " dbUse ", "x");
    row("LF only, no last line end", "[main]\ndbName = q\ndbUse = x", "main", "dbUse", "x");
    row("CR only", "[main]\rdbName = q\rdbUse = x\r", "main", "dbUse", "x");
    row("NUL ends the value", QStringLiteral("[main]\r\ndbUse = a") + QChar(u'\0') + "b\r\n", "main", "dbUse",
        "a");
    row("missing section", "[other]\r\ndbUse = x\r\n", "main", "dbUse", "");
    row("missing key", "[main]\r\ndbName = q\r\n", "main", "dbUse", "");
    row("key outside the section", "dbUse = x\r\n[main]\r\n[next]\r\ndbUse = y\r\n", "main", "dbUse", "");
    row("first key wins", "[main]\r\ndbUse = x\r\ndbUse = y\r\n", "main", "dbUse", "x");
    row("first section only", "[main]\r\na = 1\r\n[main]\r\ndbUse = y\r\n", "main", "dbUse", "");
    row("comment lines", "[main]\r\n;dbUse = x\r\n  ; dbUse = y\r\n", "main", "dbUse", "");
    row("comment is no key", "[main]\r\n;dbUse = x\r\n", "main", ";dbUse", "");
    row("no inline comments", "[main]\r\ndbPwd = a;b ; c\r\n", "main", "dbPwd", "a;b ; c");
    row("= and , kept", "[main]\r\ndbPwd = a=b, c%1\r\n", "main", "dbPwd", "a=b, c%1");
    row("empty value", "[main]\r\ndbUse =\r\n", "main", "dbUse", "");
    row("double quotes", "[main]\r\nk = \" x \"\r\n", "main", "k", " x ");
    row("single quotes", "[main]\r\nk = 'x'\r\n", "main", "k", "x");
    row("empty quotes", "[main]\r\nk = \"\"\r\n", "main", "k", "");
    row("unmatched quotes", "[main]\r\nk = \"x'\r\n", "main", "k", "\"x'");
    row("lone quote", "[main]\r\nk = \"\r\n", "main", "k", "\"");
    row("inner quotes", "[main]\r\nk = a\"b\"\r\n", "main", "k", "a\"b\"");
    row("GBK text", "[主]\r\n用户 = 张三\r\n", "主", "用户", "张三");
    row("254 bytes kept", "[main]\r\nk = " + a254 + "  \r\n", "main", "k", a254);
    row("255 bytes cut", "[main]\r\nk = " + a254 + "b\r\n", "main", "k", a254);
    row("quotes go before the cut", "[main]\r\nk = \"" + a254 + "bb\"\r\n", "main", "k", a254);
    row("127 double-byte kept", "[main]\r\nk = " + han127 + "\r\n", "main", "k", han127);
    row("128 double-byte cut", "[main]\r\nk = " + han127 + "张\r\n", "main", "k", han127);
    // 1 + 127 * 2 = 255 bytes: the last character would be split, so it goes entirely.
    row("no half character", "[main]\r\nk = a" + han127 + "\r\n", "main", "k", "a" + han127.chopped(1));
    // Saved by an editor as Unicode: the mark says so. Characters GBK cannot hold are kept.
    ::row("UTF-8 with mark", QByteArray("\xef\xbb\xbf[main]\r\nk = \xe5\xbc\xa0 \xf0\x9f\x98\x80\r\n"),
          "main", "k", QStringLiteral("张 😀"));
}

void TestIni::readsValue() {
    QFETCH(QByteArray, content);
    QFETCH(QString, section);
    QFETCH(QString, key);
    QFETCH(QString, expected);
    QVERIFY(m_dir.isValid());
    QFile file(m_dir.filePath(QStringLiteral("vornik.ini")));
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(content);
    file.close();
    QCOMPARE(readProfileString(file.fileName(), section, key).value_or("(unreadable)"), expected);
}

void TestIni::loginDialogSample_data() {
    columns<QString, QString>("key", "expected");
    row("server", "dbServerIP", "127.0.0.1");
    row("database", "DBNAME", "qelmorand");
    row("user", "dbUse", QStringLiteral("张三"));
    // The dialog stores the password's digest; it must read back equal to a fresh digest.
    row("password", "dbPwd", md5Digest(QStringLiteral("密码123"), 32).value_or(QString()));
}

void TestIni::loginDialogSample() {
    QFETCH(QString, key);
    QFETCH(QString, expected);
    QCOMPARE(readProfileString(QStringLiteral(VORNIK_FIXTURES "/settings-sample.ini"), "main", key)
                 .value_or("(unreadable)"),
             expected);
}

void TestIni::missingFile() {
    QCOMPARE(readProfileString(m_dir.filePath(QStringLiteral("absent.ini")), "main", "dbUse")
                 .value_or("(unreadable)"),
             QString());
    QCOMPARE(readProfileString(m_dir.path(), "main", "dbUse").value_or("(unreadable)"),
             QString()); // a folder, not a file
}

QTEST_APPLESS_MAIN(TestIni)
#include "tst_ini.moc"
