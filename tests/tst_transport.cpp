// Transport security against servers of the test's own: TLS whenever offered, required, or verified
// against a CA; the settings file's keys for it; and servers that ask for what they must not get (the
// password in clear, a local file).
#include "FakeLoginPrompt.h"
#include "FakeSecretStore.h"
#include "PrivateServer.h"
#include "database/ConnDatabase.h"
#include "database/Connection.h"
#include "database/Shared.h"

#include <QProcess>
#include <QtTest>

#include <thread>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// The built-in account's password, which every connection string here carries.
const QByteArray kPassword = QByteArrayLiteral("40628173");
const QByteArray kFileContent = QByteArrayLiteral("contents-a-server-must-never-see");

// Speaks just enough of the MySQL protocol to play a hostile server: a v10 handshake without
// CLIENT_SSL whose auth plugin is `plugin`, then the next of `replies` for each packet the client
// sends, and hangs up when none is left. On a thread of its own, so that it answers while Open() waits.
class FakeServer {
public:
    FakeServer(const QByteArray& plugin, const QByteArrayList& replies) {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof a;
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&a), size) == 0 && ::listen(listener_, 1) == 0 &&
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &size) == 0)
            port_ = ntohs(a.sin_port);
        thread_ = std::thread([this, plugin, replies] { serve(plugin, replies); });
    }
    ~FakeServer() { finish(); }
    QString server() const { return QStringLiteral("127.0.0.1:%1").arg(port_); }

    // Waits until the client has gone; then `connections` and `received` (every byte it sent) hold.
    void finish() {
        if (!thread_.joinable())
            return;
        ::shutdown(listener_, SHUT_RDWR);
        thread_.join();
        ::close(listener_);
    }
    int connections = 0;
    QByteArray received;

private:
    static bool waitFor(int fd) {
        pollfd p{fd, POLLIN, 0};
        return ::poll(&p, 1, 20000) > 0;
    }
    static void send(int fd, int seq, const QByteArray& payload) {
        const auto n = payload.size();
        const char head[] = {char(n), char(n >> 8), char(n >> 16), char(seq)};
        const QByteArray bytes = QByteArray(head, 4) + payload;
        [[maybe_unused]] const auto sent = ::send(fd, bytes.constData(), size_t(bytes.size()), MSG_NOSIGNAL);
    }
    static QByteArray handshake(const QByteArray& plugin) {
        // CLIENT_MYSQL, CONNECT_WITH_DB, PROTOCOL_41, TRANSACTIONS, SECURE_CONNECTION, PLUGIN_AUTH.
        const quint32 caps = 0x1 | 0x8 | 0x200 | 0x2000 | 0x8000 | 0x80000;
        QByteArray p = "\x0a" + QByteArray("5.5.5-10.11.0-fake") + '\0'; // protocol 10, version
        p += QByteArray("\1\0\0\0", 4) + "scramble" + '\0';              // connection id, salt 1
        // Capabilities (low), utf8mb4_general_ci, autocommit, capabilities (high), salt length.
        const char fields[] = {char(caps), char(caps >> 8),  char(45),         char(2),
                               char(0),    char(caps >> 16), char(caps >> 24), char(21)};
        p += QByteArray(fields, 8);
        return p + QByteArray(10, '\0') + "twelve bytes" + '\0' + plugin + '\0'; // reserved, salt 2
    }
    void serve(const QByteArray& plugin, QByteArrayList replies) {
        const int c = waitFor(listener_) ? ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC) : -1;
        if (c < 0)
            return;
        ++connections;
        send(c, 0, handshake(plugin));
        qsizetype parsed = 0;
        char buffer[4096];
        for (ssize_t n; waitFor(c) && (n = ::recv(c, buffer, sizeof buffer, 0)) > 0;) {
            received.append(buffer, n);
            for (qsizetype end; parsed + 4 <= received.size(); parsed = end) {
                const auto* h = reinterpret_cast<const uchar*>(received.constData() + parsed);
                end = parsed + 4 + (h[0] | h[1] << 8 | h[2] << 16);
                if (end > received.size())
                    break; // the rest of the packet is still on its way
                if (replies.isEmpty()) {
                    ::close(c);
                    return;
                }
                send(c, h[3] + 1, replies.takeFirst());
            }
        }
        ::close(c);
    }

    int listener_ = -1;
    quint16 port_ = 0;
    std::thread thread_;
};

QByteArray authSwitch(const QByteArray& plugin) {
    return '\xfe' + plugin + '\0' + QByteArray("twenty bytes of salt") + '\0';
}

// First cell of a one-row result.
QString cell(Connection& c, const QString& sql, int column = 0) {
    const auto r = c.query(sql);
    return r && r.value().result && r.value().result->rowCount() > 0 ? r.value().result->columns[column][0]
                                                                     : QStringLiteral("<none>");
}

} // namespace

class TestTransport : public QObject {
    Q_OBJECT

    QTemporaryDir dir;
    PrivateServer server;
    QString serverCert = QStringLiteral("-");
    FakeLoginPrompt prompt;
    FakeSecretStore secrets;

    QString path(const QString& name) const { return dir.filePath(name); }

    bool openssl(const QString& args) const {
        QProcess p;
        p.setWorkingDirectory(dir.path());
        p.start(QStringLiteral("openssl"), args.split(u' '));
        return p.waitForFinished(60000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    }

    // The private server with TLS from "<cert>.pem" (none for an empty name), restarted only on a change.
    void serve(const QString& cert) {
        if (cert == serverCert)
            return;
        QStringList options;
        if (!cert.isEmpty())
            options << QStringLiteral("--ssl-cert=") + path(cert + QStringLiteral(".pem"))
                    << QStringLiteral("--ssl-key=") + path(cert + QStringLiteral(".key"))
                    << QStringLiteral("--ssl-ca=") + path(QStringLiteral("ca.pem"));
        QString error;
        const bool ok = serverCert == u"-" ? server.start(options, &error) : server.restart(options, &error);
        QVERIFY2(ok, qPrintable(error));
        serverCert = cert;
    }

    static bool encrypted(Connection& c) {
        return !cell(c, QStringLiteral("SHOW SESSION STATUS LIKE 'Ssl_cipher'"), 1).isEmpty();
    }

private Q_SLOTS:
    void initTestCase() {
        REQUIRE_DB(); // a run that has servers at all
        QVERIFY(dir.isValid());
        const QString req =
            QStringLiteral("req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 ");
        QVERIFY(openssl(req + QStringLiteral("-subj /CN=vornik-test-ca -keyout ca.key -out ca.pem")));
        // Server certificates signed by it: one for this machine, one for another name.
        for (const auto& [name, names] : {std::pair{"right", "DNS:localhost,IP:127.0.0.1"},
                                          std::pair{"other", "DNS:db.elsewhere.invalid"}})
            QVERIFY(openssl(req + QStringLiteral("-subj /CN=%1 -addext basicConstraints=CA:FALSE -addext "
                                                 "subjectAltName=%2 -CA ca.pem -CAkey ca.key -keyout %1.key "
                                                 "-out %1.pem")
                                      .arg(QLatin1String(name), QLatin1String(names))));
        QFile notCa(path(QStringLiteral("not-a-cert.pem")));
        QVERIFY(notCa.open(QIODevice::WriteOnly) && notCa.write("not a certificate\n") > 0);
        notCa.close();
        serve(QString());

        qputenv("XDG_CONFIG_HOME", path(QStringLiteral("config")).toUtf8());
        mConnDatabase::setSiteSettingsPath(path(QStringLiteral("no-site/vornik.ini")));
        mConnDatabase::setLoginPrompt(&prompt);
        setSecretStore(&secrets);
    }

    void tls_data() {
        QTest::addColumn<QString>("cert"); // the server's certificate, none without TLS
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("extra"); // added to the connection string; "@" stands for the folder
        QTest::addColumn<bool>("wantTls");
        QTest::addColumn<QString>("refusal"); // part of the message, empty when it connects
        const QString any = QStringLiteral("127.0.0.1"), name = QStringLiteral("localhost");
        QTest::newRow("no TLS, nothing asked") << "" << any << "" << false << "";
        QTest::newRow("no TLS, TLS required") << "" << any << ";sslmode=REQUIRED" << false << "不提供 TLS";
        QTest::newRow("no TLS, CA given") << "" << name << ";sslca=@/ca.pem" << false << "不提供 TLS";
        QTest::newRow("offered, nothing asked") << "right" << any << "" << true << "";
        QTest::newRow("offered, TLS required") << "right" << any << ";sslmode=REQUIRED" << true << "";
        QTest::newRow("CA, right name") << "right" << name << ";sslca=@/ca.pem" << true << "";
        QTest::newRow("CA, right address") << "right" << any << ";sslca=@/ca.pem" << true << "";
        QTest::newRow("CA file missing")
            << "right" << name << ";sslca=@/missing.pem" << false << "无法读取 CA 证书文件";
        QTest::newRow("CA file without certificate")
            << "right" << name << ";sslca=@/not-a-cert.pem" << false << "没有可用的证书";
        QTest::newRow("CA not the issuer") << "right" << name << ";sslca=@/other.pem" << false << "未能通过";
        QTest::newRow("CA, another name")
            << "other" << name << ";sslca=@/ca.pem" << false << "不是为“localhost”签发的";
    }
    void tls() {
        QFETCH(QString, cert);
        QFETCH(QString, host);
        QFETCH(QString, extra);
        QFETCH(QString, refusal);
        serve(cert);
        Connection c;
        const Status s = c.Open(QStringLiteral("uid=qelmorand;pwd=40628173;server=%1:%2;database=qelmorand")
                                    .arg(host, server.port()) +
                                extra.replace(u'@', dir.path()));
        QVERIFY2(refusal.isEmpty() ? s.ok() : !s && s.description().contains(refusal),
                 qPrintable(s.description()));
        if (s)
            QTEST(encrypted(c), "wantTls");
    }

    // The settings file's keys reach the connection string (unchanged without them) and take effect.
    void settingsFile_data() {
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("tail"); // what the keys add to the connection string
        QTest::addColumn<QString>("refusal");
        QTest::newRow("no keys") << "127.0.0.1"
                                 << ""
                                 << ""
                                 << "";
        QTest::newRow("TLS required") << "127.0.0.1"
                                      << "dbTls = Required"
                                      << ";sslmode=required"
                                      << "";
        QTest::newRow("TLS as offered") << "127.0.0.1"
                                        << "dbTls = preferred"
                                        << ""
                                        << "";
        QTest::newRow("CA relative to the file") << "localhost"
                                                 << "dbTlsCa = ../../ca.pem"
                                                 << ";sslca=" + path("ca.pem") << "";
        QTest::newRow("CA not the issuer")
            << "localhost"
            << "dbTlsCa = " + path("other.pem") << ";sslca=" + path("other.pem") << "未能通过";
    }
    void settingsFile() {
        QFETCH(QString, host);
        QFETCH(QString, line);
        QFETCH(QString, tail);
        QFETCH(QString, refusal);
        serve(QStringLiteral("right"));
        QDir().mkpath(path(QStringLiteral("config/vornik")));
        QFile f(path(QStringLiteral("config/vornik/vornik.ini")));
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(QStringLiteral("[main]\r\ndbServerIP = %1:%2\r\ndbName = qelmorand\r\ndbUse = qelmorand\r\n"
                               "dbPwd = 40628173\r\n%3\r\n")
                    .arg(host, server.port(), line)
                    .toUtf8());
        f.close();
        mConnDatabase::forgetAccount();
        mPublic::Conn = std::make_unique<Connection>();
        QString error;
        const QString result = mConnDatabase::ConnectDatabase(error);
        // From the server on: a failed open forgets the account before it.
        const QString built = mConnDatabase::BuildConnectionString();
        QCOMPARE(built.mid(built.indexOf(QStringLiteral(";server="))),
                 QStringLiteral(";server=%1:%2;database=qelmorand%3").arg(host, server.port(), tail));
        QVERIFY2(refusal.isEmpty() ? result == u"True" : error.contains(refusal), qPrintable(error));
        if (refusal.isEmpty())
            QVERIFY(encrypted(*mPublic::Conn));
        mConnDatabase::forgetAccount();
        QVERIFY(mConnDatabase::dbTls.isEmpty() && mConnDatabase::dbTlsCa.isEmpty());
    }

    // A server that asks for the password in clear outside TLS, or for a local file, gets neither.
    void hostileServer_data() {
        QTest::addColumn<QByteArray>("plugin");
        QTest::addColumn<QByteArrayList>("replies");
        QTest::addColumn<QString>("extra");
        QTest::addColumn<QString>("refusal");
        const QByteArray native("mysql_native_password");
        const QByteArray ok("\0\0\0\2\0\0\0", 7);
        QTest::newRow("clear text in the handshake")
            << QByteArray("mysql_clear_password") << QByteArrayList{} << ""
            << "密码未发送";
        QTest::newRow("switch to clear text")
            << native << QByteArrayList{authSwitch("mysql_clear_password")} << ""
            << "密码未发送";
        QTest::newRow("switch to PAM dialog") << native << QByteArrayList{authSwitch("dialog")} << ""
                                              << "密码未发送";
        QTest::newRow("switch to clear text, TLS required")
            << native << QByteArrayList{authSwitch("mysql_clear_password")} << ";sslmode=REQUIRED"
            << "未连接";
        QTest::newRow("file asked for")
            << native << QByteArrayList{ok, '\xfb' + path("secret.txt").toUtf8(), ok} << ""
            << "infile";
    }
    void hostileServer() {
        QFETCH(QByteArray, plugin);
        QFETCH(QByteArrayList, replies);
        QFETCH(QString, extra);
        QFETCH(QString, refusal);
        QFile secret(path(QStringLiteral("secret.txt")));
        QVERIFY(secret.open(QIODevice::WriteOnly) && secret.write(kFileContent) > 0);
        secret.close();
        FakeServer fake(plugin, replies);
        Connection c;
        const Status s = c.Open(
            QStringLiteral("uid=qelmorand;pwd=40628173;server=%1;database=qelmorand").arg(fake.server()) +
            extra);
        fake.finish();
        QCOMPARE(fake.connections, 1);
        QVERIFY(!fake.received.contains(kPassword));
        QVERIFY(!fake.received.contains(kFileContent));
        QVERIFY2(!s && s.description().contains(refusal, Qt::CaseInsensitive), qPrintable(s.description()));
    }

    // LOAD DATA LOCAL is refused: the statement fails and nothing of the file reaches the table.
    void localFile_data() {
        QTest::addColumn<QString>("sql");
        QTest::newRow("LOAD DATA") << "LOAD DATA LOCAL INFILE '%1' INTO TABLE local_file";
        QTest::newRow("LOAD XML")
            << "LOAD XML LOCAL INFILE '%1' INTO TABLE local_file ROWS IDENTIFIED BY '<r>'";
    }
    void localFile() {
        QFETCH(QString, sql);
        serve(QString());
        QFile data(path(QStringLiteral("rows.txt")));
        QVERIFY(data.open(QIODevice::WriteOnly) && data.write("<r><t>" + kFileContent + "</t></r>\n") > 0);
        data.close();
        Connection c;
        QVERIFY(c.Open(server.connectionString()));
        QVERIFY(c.Execute(QStringLiteral("CREATE TEMPORARY TABLE local_file (t TEXT)")));
        const Status s = c.Execute(sql.arg(data.fileName()));
        QVERIFY(!s);
        QCOMPARE(cell(c, QStringLiteral("SELECT COUNT(*) FROM local_file")), QStringLiteral("0"));
    }
};

QTEST_MAIN(TestTransport)
#include "tst_transport.moc"
