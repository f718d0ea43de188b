// The Debian package as a user receives it: unpacked into a temporary folder (never installed on
// this machine), its files, the dependencies it declares, its desktop entry and icon, and its host
// program started headless from the unpacked tree.
#include "Columns.h"

#include <QDirIterator>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QXmlStreamReader>
#include <QtTest>

#include <optional>

namespace {

const QString kPackage = QStringLiteral(VORNIK_PACKAGE_FILE);
const QString kLibraryDir = QStringLiteral("usr/lib/" VORNIK_LIBRARY_ARCH "/vornik");

bool required() {
    return !qEnvironmentVariableIsEmpty("VORNIK_REQUIRE_PACKAGE") || !qEnvironmentVariableIsEmpty("CI");
}

// Runs a program to its end; its standard output, or nothing when it failed.
std::optional<QByteArray> output(const QString& program, const QStringList& args) {
    QProcess p;
    p.start(program, args);
    if (!p.waitForFinished(60000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        qWarning().noquote() << program << args.join(u' ') << "failed:" << p.readAllStandardError();
        return {};
    }
    return p.readAllStandardOutput();
}

// The key=value lines of the [Desktop Entry] group.
QMap<QString, QString> readDesktopEntry(const QString& file) {
    QMap<QString, QString> keys;
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly | QIODevice::Text))
        return keys;
    bool inGroup = false;
    for (const QString& line : QString::fromUtf8(f.readAll()).split(u'\n')) {
        if (line.startsWith(u'['))
            inGroup = line == u"[Desktop Entry]";
        else if (inGroup && line.contains(u'=') && !line.startsWith(u'#'))
            keys.insert(line.section(u'=', 0, 0).trimmed(), line.section(u'=', 1).trimmed());
    }
    return keys;
}

} // namespace

class TestPackage : public QObject {
    Q_OBJECT

    QTemporaryDir root;
    QStringList depends; // one entry per dependency, alternatives joined by " | "

    QString unpacked(const QString& relative) const { return root.filePath(relative); }

private Q_SLOTS:
    void initTestCase() {
        const QFileInfo deb(kPackage);
        if (!deb.exists()) {
            if (required())
                QFAIL(qPrintable(kPackage + " is missing: scripts/test builds it first"));
            QSKIP("the package is not built (run scripts/package)");
        }
        // A package older than the build would test yesterday's program.
        for (const char* built : {VORNIK_BUILT_HOST, VORNIK_BUILT_LIBRARY}) {
            const QFileInfo b(QString::fromUtf8(built));
            if (b.lastModified() > deb.lastModified()) {
                if (required())
                    QFAIL(qPrintable(kPackage + " is older than " + b.filePath()));
                QSKIP("the package is older than the build (run scripts/package)");
            }
        }
        QVERIFY(root.isValid());
        QVERIFY(output(QStringLiteral("dpkg-deb"), {QStringLiteral("-x"), kPackage, root.path()}));
        const std::optional<QByteArray> field =
            output(QStringLiteral("dpkg-deb"), {QStringLiteral("-f"), kPackage, QStringLiteral("Depends")});
        QVERIFY(field);
        for (const QString& d : QString::fromUtf8(*field).split(u',', Qt::SkipEmptyParts))
            depends << d.trimmed();
        QVERIFY(!depends.isEmpty());
    }

    // Everything the package holds, and nothing else: no headers, static libraries, tests or build
    // files, all under /usr.
    void holdsExactlyTheProgram() {
        const QStringList expected{QStringLiteral("usr/bin/Test_Vornik"),
                                   QStringLiteral("usr/bin/vornik-admin"),
                                   QStringLiteral("usr/lib/systemd/system/vornik-feeder.service"),
                                   kLibraryDir + QStringLiteral("/Vornik.so"),
                                   QStringLiteral("usr/share/applications/vornik.desktop"),
                                   QStringLiteral("usr/share/doc/vornik/README.md"),
                                   QStringLiteral("usr/share/icons/hicolor/scalable/apps/vornik.svg"),
                                   QStringLiteral("usr/share/vornik/schema.sql")};
        QStringList files;
        QDirIterator it(root.path(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        while (it.hasNext())
            files << QDir(root.path()).relativeFilePath(it.next());
        files.sort();
        QCOMPARE(files, expected);
        QVERIFY(QFileInfo(unpacked(QStringLiteral("usr/bin/Test_Vornik"))).isExecutable());
    }

    void declaresRuntimeDependencies_data() {
        columns<QString>("package");
        // What the host and the control library link, and a font for the Chinese captions.
        for (const char* p : {"libqt6widgets6", "libqt6gui6", "libqt6core6", "libmariadb3", "libstdc++6",
                              "libc6", "fonts-noto-cjk"})
            QTest::newRow(p) << QString::fromLatin1(p);
    }
    void declaresRuntimeDependencies() {
        QFETCH(QString, package);
        const QRegularExpression named(
            QStringLiteral("(^|\\| )%1( |$)").arg(QRegularExpression::escape(package)));
        QVERIFY2(!depends.filter(named).isEmpty(), qPrintable(depends.join(u',')));
    }

    // What building or testing needs stays out of a user's installation.
    void declaresNoBuildDependencies() {
        static const QStringList buildOnly{
            QStringLiteral("build-essential"), QStringLiteral("cmake"),
            QStringLiteral("pkg-config"),      QStringLiteral("mariadb-server"),
            QStringLiteral("mariadb-client"),  QStringLiteral("libqt6test6"),
            QStringLiteral("qt6-base-dev"),    QStringLiteral("g++")};
        for (const QString& dependency : depends) {
            for (const QString& alternative : dependency.split(u'|')) {
                const QString name = alternative.trimmed().section(u' ', 0, 0);
                QVERIFY2(!name.endsWith(QLatin1String("-dev")) && !buildOnly.contains(name),
                         qPrintable(name + " is not needed to run the program"));
            }
        }
    }

    void desktopEntry_data() {
        // pattern: the whole value must match
        columns<QString, QString>("key", "pattern");
        const auto row = [](const char* tag, const char* key, const QString& pattern) {
            QTest::newRow(tag) << QString::fromLatin1(key) << pattern;
        };
        row("type", "Type", "Application");
        row("name", "Name", "Vornik");
        row("English comment", "Comment", "[A-Z][ -~]{10,}");
        row("Chinese comment", "Comment[zh_CN]", QStringLiteral(".*[\\x{4e00}-\\x{9fff}]{4,}.*"));
        row("icon", "Icon", "vornik");
        row("program", "Exec", "Test_Vornik");
        row("no terminal", "Terminal", "false");
        row("categories", "Categories", "(.*;)?Office;(.*;)?");
    }
    void desktopEntry() {
        QFETCH(QString, key);
        QFETCH(QString, pattern);
        const auto keys = readDesktopEntry(unpacked(QStringLiteral("usr/share/applications/vornik.desktop")));
        QVERIFY2(keys.contains(key), qPrintable(key + " is missing"));
        const QRegularExpression re(QRegularExpression::anchoredPattern(pattern));
        QVERIFY2(re.match(keys.value(key)).hasMatch(), qPrintable(key + "=" + keys.value(key)));
    }

    // The entry names a program and an icon the package itself brings.
    void desktopEntryPointsAtPackagedFiles() {
        const auto keys = readDesktopEntry(unpacked(QStringLiteral("usr/share/applications/vornik.desktop")));
        QVERIFY(QFileInfo(unpacked(QStringLiteral("usr/bin/") + keys.value(QStringLiteral("Exec"))))
                    .isExecutable());
        QVERIFY(QFileInfo::exists(unpacked(
            QStringLiteral("usr/share/icons/hicolor/scalable/apps/%1.svg").arg(keys.value("Icon")))));
    }

    void iconIsSvg() {
        QFile f(unpacked(QStringLiteral("usr/share/icons/hicolor/scalable/apps/vornik.svg")));
        QVERIFY(f.open(QIODevice::ReadOnly));
        QXmlStreamReader xml(&f);
        QVERIFY(xml.readNextStartElement());
        QCOMPARE(xml.name(), QLatin1String("svg"));
        QCOMPARE(xml.namespaceUri(), QLatin1String("http://www.w3.org/2000/svg"));
        QVERIFY(xml.attributes().hasAttribute(QStringLiteral("viewBox")));
        while (!xml.atEnd())
            xml.readNext();
        QVERIFY2(!xml.hasError(), qPrintable(xml.errorString()));
    }

    // The unpacked host, started on its own, creates the control from the unpacked library, never
    // from the build; without that library it says which control it could not find.
    void unpackedHostCreatesControl_data() {
        // expected: a line of the host's log
        columns<bool, QString>("withLibrary", "expected");
        QTest::newRow("library in place")
            << true
            << "vornik.host: created Vornik.uVornik as uVornik from " + unpacked(kLibraryDir) + "/Vornik.so";
        QTest::newRow("library missing") << false << "vornik.host: 无法创建控件 Vornik.uVornik";
    }
    void unpackedHostCreatesControl() {
        QFETCH(bool, withLibrary);
        QFETCH(QString, expected);
        const QString library = unpacked(kLibraryDir + QStringLiteral("/Vornik.so"));
        const QString aside = library + QStringLiteral(".aside");
        if (!withLibrary)
            QVERIFY(QFile::rename(library, aside));
        const auto restore = qScopeGuard([&] {
            if (!withLibrary)
                QFile::rename(aside, library);
        });

        QTemporaryDir home;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("VORNIK_PLUGIN_PATH"));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("vornik.host.info=true"));
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), home.path());
        QProcess host;
        host.setProcessEnvironment(env);
        host.setWorkingDirectory(home.path());
        host.start(unpacked(QStringLiteral("usr/bin/Test_Vornik")), {});
        QVERIFY2(host.waitForStarted(), qPrintable(host.errorString()));
        const auto stop = qScopeGuard([&] {
            host.terminate();
            if (!host.waitForFinished(5000)) {
                host.kill();
                host.waitForFinished(5000);
            }
        });

        QString log;
        QDeadlineTimer deadline(60000);
        while (!log.contains(expected) && host.state() == QProcess::Running && !deadline.hasExpired()) {
            host.waitForReadyRead(200);
            log += QString::fromUtf8(host.readAllStandardError());
        }
        QVERIFY2(log.contains(expected), qPrintable(log));
        if (withLibrary) {
            // Still up once the window has been shown with the control in it.
            QTest::qWait(500);
            log += QString::fromUtf8(host.readAllStandardError());
            QVERIFY2(host.state() == QProcess::Running, qPrintable(log));
        }
    }
};

QTEST_GUILESS_MAIN(TestPackage)
#include "tst_package.moc"
