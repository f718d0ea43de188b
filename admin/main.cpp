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
#include <functional>
#include <iostream>
#include <optional>
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

// The command line, all of it understood before anything runs.
struct Command {
    QString name;
    QString settings, server, database, user;
    IndexAdmin::InstallOptions install;
    QString batch = QStringLiteral("300");
    QString days;
    bool follow = false, compact = false, withHistory = false;
};

// The command, or nothing after printing why not (the usage, or what was not understood).
std::optional<Command> parse(QStringList args) {
    Command c;
    const auto option = [&](const QString& name, QString* out) {
        const qsizetype i = args.indexOf(name);
        if (i < 0 || i + 1 >= args.size())
            return i < 0;
        *out = args.at(i + 1);
        args.remove(i, 2);
        return true;
    };
    const auto flag = [&](const QString& name) { return args.removeAll(name) > 0; };
    if (!option(QStringLiteral("--settings"), &c.settings) ||
        !option(QStringLiteral("--server"), &c.server) ||
        !option(QStringLiteral("--database"), &c.database) || !option(QStringLiteral("--user"), &c.user) ||
        args.isEmpty() || flag(QStringLiteral("--help"))) {
        std::fputs(kUsage, stderr);
        return std::nullopt;
    }
    c.name = args.takeFirst();

    // The command's own options.
    if (c.name == u"install") {
        c.install.history = !flag(QStringLiteral("--no-history"));
        c.install.index = !flag(QStringLiteral("--no-index"));
    } else if (c.name == u"feed") {
        c.follow = flag(QStringLiteral("--follow"));
        c.compact = flag(QStringLiteral("--compact"));
        if (!option(QStringLiteral("--batch"), &c.batch) || c.batch.toInt() < 1)
            args << c.batch;
    } else if (c.name == u"remove") {
        c.withHistory = flag(QStringLiteral("--history"));
    } else if (c.name == u"history") {
        if (!option(QStringLiteral("--keep-days"), &c.days) ||
            (!c.days.isEmpty() && QString::number(c.days.toInt()) != c.days))
            args << c.days;
    } else if (c.name != u"status" && c.name != u"rebuild") {
        args << c.name;
    }
    if (!args.isEmpty()) {
        std::fputs(qPrintable(QStringLiteral("vornik-admin: not understood: %1\n").arg(args.join(u' '))),
                   stderr);
        std::fputs(kUsage, stderr);
        return std::nullopt;
    }
    return c;
}

// The account from the settings, the options over it and the password last; empty text when complete.
QString completeAccount(const Command& c, Account& a) {
    if (const QString why = readSettings(c.settings, a); !why.isEmpty())
        return why;
    const bool otherAccount = !c.user.isEmpty() && c.user != a.user;
    if (!c.server.isEmpty())
        a.server = c.server;
    if (!c.database.isEmpty())
        a.database = c.database;
    if (!c.user.isEmpty())
        a.user = c.user;
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
        return QStringLiteral("no account: name one with --user or in the settings file");
    return {};
}

Status run(const Command& c, IndexAdmin& admin, const std::function<Status()>& open) {
    if (c.name == u"install")
        return admin.install(c.install);
    if (c.name == u"status")
        return admin.status();
    if (c.name == u"feed" && c.follow) {
        std::signal(SIGTERM, onSignal);
        std::signal(SIGINT, onSignal);
        return admin.follow(g_stop, open, c.batch.toInt());
    }
    if (c.name == u"feed")
        return admin.feed(c.batch.toInt(), c.compact).status();
    if (c.name == u"rebuild")
        return admin.rebuild();
    if (c.name == u"remove")
        return admin.remove(c.withHistory);
    if (c.days.isEmpty()) {
        say(QStringLiteral("history: every version is kept (--keep-days N removes the older ones)"));
        return {};
    }
    return admin.purgeHistory(c.days.toInt());
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const std::optional<Command> command = parse(app.arguments().mid(1));
    if (!command)
        return 2;
    Account a;
    if (const QString why = completeAccount(*command, a); !why.isEmpty())
        return fail(why);

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
    const Status result = run(*command, admin, open);
    wipe(connection);
    if (!result)
        return fail(result.description());
    return 0;
}
