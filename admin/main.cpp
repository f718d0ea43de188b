// vornik-admin: the search index and the history of a team's Vornik database, for its administrator.
// See "Search index and history (administrators)" in README.md.
#include "admin/IndexAdmin.h"
#include "database/ConnDatabase.h"
#include "database/ConnectionString.h"
#include "util/IniReader.h"
#include "util/Md5Digest.h"
#include "util/Secret.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QTextStream>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <string>

#include <termios.h>
#include <unistd.h>

namespace {

const char* const kUsage =
    "usage: vornik-admin [--settings FILE] [--server HOST[:PORT]] [--database NAME] [--user NAME] COMMAND\n"
    "commands:\n"
    "  install [--no-history] [--no-index]   companion database, triggers, initial build of the index\n"
    "  status                                state, queue, sizes, history\n"
    "  feed [--follow] [--batch N] [--compact]  index what the queue holds (once, or as a service)\n"
    "  rebuild                               build the index afresh\n"
    "  remove [--history]                    drop the index (with --history also the history)\n"
    "  history --keep-days N                 delete versions older than N days\n"
    "The account comes from the settings file (as the window reads it: ~/.config/vornik/vornik.ini, else\n"
    "/etc/vornik/vornik.ini), or from the options; the password from VORNIK_PASSWORD or a prompt.\n";

std::atomic<bool> g_stop{false};

void onSignal(int) {
    g_stop = true;
}

void say(const QString& line) {
    std::fputs(qPrintable(line + u'\n'), stdout);
    std::fflush(stdout);
}

int fail(const QString& why) {
    std::fputs(qPrintable(QStringLiteral("vornik-admin: ") + why + u'\n'), stderr);
    return 1;
}

QString promptPassword() {
    std::fputs("password: ", stderr);
    termios old{};
    const bool tty = isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &old) == 0;
    if (tty) {
        termios quiet = old;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    std::string line;
    std::getline(std::cin, line);
    if (tty) {
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &old);
        std::fputs("\n", stderr);
    }
    QString password = QString::fromStdString(line);
    std::fill(line.begin(), line.end(), '\0');
    return password;
}

struct Account {
    QString server, database, user, password, tls, tlsCa;
};

// The settings as the window reads them: the given file, else the per-user one, else the site's.
QString readSettings(const QString& file, Account& a) {
    QString path = file;
    const auto value = [&](const char* key, QString* error = nullptr) {
        if (!file.isEmpty())
            return ReadProfileString(path, QStringLiteral("main"), QString::fromLatin1(key), error);
        return mConnDatabase::ReadIniValue(QStringLiteral("main"), QString::fromLatin1(key), path, error);
    };
    QString unreadable;
    a.server = value("dbServerIP", &unreadable);
    if (!unreadable.isEmpty())
        return unreadable;
    a.database = value("dbName");
    a.user = value("dbUse");
    a.password = value("dbPwd");
    a.tls = value("dbTls");
    a.tlsCa = value("dbTlsCa");
    if (!a.tlsCa.isEmpty() && QDir::isRelativePath(a.tlsCa))
        a.tlsCa = QDir::cleanPath(QFileInfo(path).dir().filePath(a.tlsCa));
    // The login dialog keeps the built-in account as digests.
    if (a.user == md5Digest(mConnDatabase::kBuiltinUser, 32).value_or(QString()))
        a.user = mConnDatabase::kBuiltinUser;
    if (a.password == md5Digest(mConnDatabase::kBuiltinPassword, 32).value_or(QString()))
        a.password = mConnDatabase::kBuiltinPassword;
    return {};
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    QString settings, server, database, user;
    const auto option = [&](const QString& name, QString* out) {
        const qsizetype i = args.indexOf(name);
        if (i < 0 || i + 1 >= args.size())
            return i < 0;
        *out = args.at(i + 1);
        args.remove(i, 2);
        return true;
    };
    const auto flag = [&](const QString& name) { return args.removeAll(name) > 0; };
    if (!option(QStringLiteral("--settings"), &settings) || !option(QStringLiteral("--server"), &server) ||
        !option(QStringLiteral("--database"), &database) || !option(QStringLiteral("--user"), &user) ||
        args.isEmpty() || flag(QStringLiteral("--help"))) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    const QString command = args.takeFirst();

    // The command's own options, all of them understood before anything runs.
    IndexAdmin::InstallOptions install;
    QString batch = QStringLiteral("300");
    QString days;
    bool follow = false, compact = false, withHistory = false;
    if (command == u"install") {
        install.history = !flag(QStringLiteral("--no-history"));
        install.index = !flag(QStringLiteral("--no-index"));
    } else if (command == u"feed") {
        follow = flag(QStringLiteral("--follow"));
        compact = flag(QStringLiteral("--compact"));
        if (!option(QStringLiteral("--batch"), &batch) || batch.toInt() < 1)
            args << batch;
    } else if (command == u"remove") {
        withHistory = flag(QStringLiteral("--history"));
    } else if (command == u"history") {
        if (!option(QStringLiteral("--keep-days"), &days) ||
            (!days.isEmpty() && QString::number(days.toInt()) != days))
            args << days;
    } else if (command != u"status" && command != u"rebuild") {
        args << command;
    }
    if (!args.isEmpty()) {
        std::fputs(qPrintable(QStringLiteral("vornik-admin: not understood: %1\n").arg(args.join(u' '))),
                   stderr);
        std::fputs(kUsage, stderr);
        return 2;
    }

    Account a;
    if (const QString why = readSettings(settings, a); !why.isEmpty())
        return fail(why);
    const bool otherAccount = !user.isEmpty() && user != a.user;
    if (!server.isEmpty())
        a.server = server;
    if (!database.isEmpty())
        a.database = database;
    if (!user.isEmpty())
        a.user = user;
    if (otherAccount)
        wipe(a.password);
    if (qEnvironmentVariableIsSet("VORNIK_PASSWORD"))
        a.password = qEnvironmentVariable("VORNIK_PASSWORD");
    else if (otherAccount || a.user.isEmpty() || a.password.isEmpty())
        a.password = promptPassword();
    if (a.server.isEmpty())
        a.server = mConnDatabase::kFallbackServer;
    if (a.database.isEmpty())
        a.database = mConnDatabase::kBuiltinName;
    if (a.user.isEmpty())
        return fail(QStringLiteral("no account: name one with --user or in the settings file"));

    QString connection = connectionString(a.user, a.password, a.server, a.database,
                                          a.tls.compare(QStringLiteral("required"), Qt::CaseInsensitive) == 0
                                              ? QStringLiteral("required")
                                              : QString(),
                                          a.tlsCa);
    wipe(a.password);
    Connection conn;
    // Builds and compactions send statements of a megabyte and read large chunks.
    conn.setReadTimeoutSeconds(3600);
    const auto open = [&] { return conn.Open(connection); };
    if (Status s = open(); !s)
        return fail(QStringLiteral("cannot connect to %1 as %2: %3").arg(a.server, a.user, s.description()));

    IndexAdmin admin(conn, a.database, say);
    if (qEnvironmentVariableIsSet("VORNIK_ADMIN_GRACE_MS"))
        admin.setGraceMs(qEnvironmentVariableIntValue("VORNIK_ADMIN_GRACE_MS"));
    Status result;
    if (command == u"install") {
        result = admin.install(install);
    } else if (command == u"status") {
        result = admin.status();
    } else if (command == u"feed" && follow) {
        std::signal(SIGTERM, onSignal);
        std::signal(SIGINT, onSignal);
        result = admin.follow(g_stop, open, batch.toInt());
    } else if (command == u"feed") {
        result = admin.feed(batch.toInt(), compact).status();
    } else if (command == u"rebuild") {
        result = admin.rebuild();
    } else if (command == u"remove") {
        result = admin.remove(withHistory);
    } else if (days.isEmpty()) {
        say(QStringLiteral("history: every version is kept (--keep-days N removes the older ones)"));
    } else {
        result = admin.purgeHistory(days.toInt());
    }
    wipe(connection);
    if (!result)
        return fail(result.description());
    return 0;
}
