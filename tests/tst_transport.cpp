// Transport security against servers of the test's own: TLS whenever offered, required, or verified
// against a CA, directly and through the settings file's keys; and servers that ask for what they must
// not get (the password in clear, a local file).
#include "FakeLoginPrompt.h"
#include "FakeSecretStore.h"
#include "PrivateServer.h"
#include "Seams.h"
#include "database/ConnDatabase.h"
#include "database/Connection.h"
#include "database/Shared.h"

#include <QtTest>

#include <thread>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace Qt::Literals::StringLiterals;

namespace {

const QByteArray kFileContent = "contents-a-server-must-never-see";

// Opens a connection to a hostile server played on a thread of its own: just enough of the MySQL protocol,
// a v10 handshake without CLIENT_SSL whose auth plugin is `plugin`, then the next of `replies` for each
// packet the client sends, hanging up when none is left. Every byte the client sent goes to `received`.
Status playServer(const QByteArray& plugin, QByteArrayList replies, const QString& extra,
                  QByteArray& received, int& connections) {
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t size = sizeof a;
    if (::bind(listener, reinterpret_cast<sockaddr*>(&a), size) != 0 || ::listen(listener, 1) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &size) != 0)
        return Status::failure("no port to listen on");
    std::thread server([&] {
        const int c = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        const timeval patience{20, 0}; // for a client that neither speaks nor hangs up
        ::setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
        connections += c >= 0;
        // Appends the client's next `n` bytes (0 would wait for one); false when it has gone or kept quiet.
        const auto take = [&](quint32 n) {
            QByteArray bytes(n, '\0');
            const ssize_t got = n ? ::recv(c, bytes.data(), n, MSG_WAITALL) : 0;
            received += bytes.left(std::max<ssize_t>(got, 0));
            return got == ssize_t(n);
        };
        // Protocol 10 ('\n'), version, connection id, salt 1, capabilities (low), utf8mb4_general_ci,
        // autocommit, capabilities (high), salt length, reserved, salt 2, plugin. The capabilities are
        // CLIENT_MYSQL, CONNECT_WITH_DB, PROTOCOL_41, TRANSACTIONS, SECURE_CONNECTION and PLUGIN_AUTH.
        QByteArray reply = "\n5.5.5-10.11.0-fake\0\1\0\0\0scramble\0\x09\xa2\x2d\2\0\x08\0\x15"
                           "\0\0\0\0\0\0\0\0\0\0twelve bytes\0"_ba +
                           plugin + '\0';
        // A packet's head: its length (3 bytes) and its number, the client's last one's and one.
        for (quint32 seq = 0, head = 0; c >= 0; reply = replies.takeFirst(), seq = (head >> 24) + 1) {
            const quint32 length = quint32(reply.size());
            qToLittleEndian(length | seq << 24, reply.prepend(4, '\0').data());
            if (::send(c, reply.constData(), size_t(reply.size()), MSG_NOSIGNAL) < 0 || !take(4))
                break;
            head = qFromLittleEndian<quint32>(received.constData() + received.size() - 4);
            if (!take(head & 0xffffff) || replies.isEmpty())
                break;
        }
        ::close(c);
    });
    Connection client;
    const Status s =
        client.Open("uid=qelmorand;pwd=40628173;server=127.0.0.1:" + QString::number(ntohs(a.sin_port)) +
                    ";database=qelmorand" + extra);
    ::shutdown(listener, SHUT_RDWR); // ends an accept() no client came to
    server.join();
    ::close(listener);
    return s;
}

// A cell of a statement's first row.
QString cell(Connection& c, const QString& sql, int column = 0) {
    const auto r = c.query(sql);
    return r && r.value().result && r.value().result->rowCount() > 0 ? r.value().result->columns[column].at(0)
                                                                     : QStringLiteral("<none>");
}

} // namespace

class TestTransport : public QObject {
    Q_OBJECT

    QTemporaryDir dir;
    PrivateServer server;
    QString serverCert; // what the private server's TLS comes from, none at first
    FakeLoginPrompt prompt;
    FakeSecretStore secrets;
    ScopedSeam<mConnDatabase::LoginPrompt> promptSeam{mConnDatabase::setLoginPrompt, &prompt};
    ScopedSeam<SecretStore> secretsSeam{setSecretStore, &secrets};

    QString path(const QString& name) const { return dir.filePath(name); }
    // Writes a file in the test's folder, with the folders on the way.
    bool put(const QString& name, const QByteArray& bytes) const {
        QFile f(path(name));
        return QDir().mkpath(QFileInfo(f).path()) && f.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
               f.write(bytes) == bytes.size();
    }

    // A data table of text: each row is its tag, then a value for each column ("@" for the test's folder).
    void table(std::initializer_list<const char*> columns,
               std::initializer_list<std::initializer_list<const char*>> rows) {
        for (const char* column : columns)
            QTest::addColumn<QString>(column);
        for (const auto& row : rows) {
            QTestData& data = QTest::newRow(*row.begin());
            for (auto value = row.begin() + 1; value != row.end(); ++value)
                data << QString(*value).replace(u'@', dir.path());
        }
    }
    // Connects with the row's tail, or through a settings file with its line (checking the tail). Columns:
    // the server's certificate (none without TLS: encrypted when it connects), host, settings file line,
    // how the connection string ends after the database, part of the refusal (empty when it connects).
    void connectAndCheck(bool throughFile) {
        QFETCH(QString, cert);
        QFETCH(QString, host);
        QFETCH(QString, line);
        QFETCH(QString, tail);
        QFETCH(QString, refusal);
        // The server's TLS comes from "<cert>.pem", none for an empty name.
        const QStringList tls{"--ssl-cert=" + path(cert + ".pem"), "--ssl-key=" + path(cert + ".key"),
                              "--ssl-ca=" + path("ca.pem")};
        QString error;
        if (cert != serverCert)
            QVERIFY2(server.restart(cert.isEmpty() ? QStringList() : tls, &error), qPrintable(error));
        serverCert = cert;
        const QString address = host + u':' + server.port(),
                      at = ";server=" + address + ";database=qelmorand";
        const QString ini = "[main]\r\ndbServerIP = " + address +
                            "\r\ndbName = qelmorand\r\ndbUse = qelmorand\r\ndbPwd = 40628173\r\n" + line +
                            "\r\n";
        QVERIFY(!throughFile || put("config/vornik/vornik.ini", ini.toUtf8()));
        mConnDatabase::forgetAccount();
        mPublic::Conn = std::make_unique<Connection>();
        const Status s =
            throughFile ? Status() : mPublic::Conn->Open("uid=qelmorand;pwd=40628173" + at + tail);
        error = s.description();
        const bool ok = throughFile ? mConnDatabase::ConnectDatabase(error) == u"True" : s.ok();
        // From the server on: a failed open forgets the account before it.
        const QString built = mConnDatabase::BuildConnectionString();
        QVERIFY2(!throughFile || built.endsWith(at + tail), qPrintable(built));
        QVERIFY2(refusal.isEmpty() ? ok : !ok && error.contains(refusal), qPrintable(error));
        if (ok)
            QCOMPARE(!cell(*mPublic::Conn, "SHOW SESSION STATUS LIKE 'Ssl_cipher'", 1).isEmpty(),
                     !cert.isEmpty());
        mConnDatabase::forgetAccount();
        QVERIFY(mConnDatabase::dbTls.isEmpty() && mConnDatabase::dbTlsCa.isEmpty());
    }

private Q_SLOTS:
    void initTestCase() {
        REQUIRE_DB(); // a run that has servers at all
        QVERIFY(dir.isValid());
        // A CA, and server certificates signed by it: one for this machine, one for another name.
        const QString signedBy =
            " -addext basicConstraints=CA:FALSE -CA ca.pem -CAkey ca.key -addext subjectAltName=";
        for (const auto& [name, names] : {std::pair{"ca", ""},
                                          {"right", "DNS:localhost,IP:127.0.0.1"},
                                          {"other", "DNS:db.elsewhere.invalid"}}) {
            QProcess openssl;
            openssl.setWorkingDirectory(dir.path());
            openssl.start("openssl", QString("req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes "
                                             "-days 2 -subj /CN=vornik-test-%1 -keyout %1.key -out %1.pem%2")
                                         .arg(name, *names ? signedBy + names : "")
                                         .split(u' '));
            QVERIFY(openssl.waitForFinished(60000) && openssl.exitCode() == 0); // a crash gives its signal
        }
        QVERIFY(put("not-a-cert.pem", "not a certificate\n"));
        // Asked for by the hostile server, loaded by the LOAD statements.
        QVERIFY(put("secret.txt", "<r><t>" + kFileContent + "</t></r>\n"));
        QString error;
        QVERIFY2(server.start({}, &error), qPrintable(error));
        qputenv("XDG_CONFIG_HOME", path("config").toUtf8());
        mConnDatabase::setSiteSettingsPath(path("no-site/vornik.ini"));
    }

    void tls_data() {
        table({"cert", "host", "line", "tail", "refusal"},
              {{"no TLS, nothing asked", "", "127.0.0.1", "", "", ""},
               {"no TLS, TLS required", "", "127.0.0.1", "", ";sslmode=REQUIRED", "不提供 TLS"},
               {"no TLS, CA given", "", "localhost", "", ";sslca=@/ca.pem", "不提供 TLS"},
               {"offered, nothing asked", "right", "127.0.0.1", "", "", ""},
               {"offered, TLS required", "right", "127.0.0.1", "", ";sslmode=REQUIRED", ""},
               {"CA, right name", "right", "localhost", "", ";sslca=@/ca.pem", ""},
               {"CA, right address", "right", "127.0.0.1", "", ";sslca=@/ca.pem", ""},
               {"CA file missing", "right", "localhost", "", ";sslca=@/missing.pem", "无法读取 CA 证书文件"},
               {"CA file without certificate", "right", "localhost", "", ";sslca=@/not-a-cert.pem",
                "没有可用的证书"},
               {"CA not the issuer", "right", "localhost", "", ";sslca=@/other.pem", "未能通过"},
               {"CA, another name", "other", "localhost", "", ";sslca=@/ca.pem", "不是为“localhost”签发的"}});
    }
    void tls() { connectAndCheck(false); }

    // The settings file's keys reach the connection string (unchanged without them) and take effect.
    void settingsFile_data() {
        table({"cert", "host", "line", "tail", "refusal"},
              {{"no keys", "right", "127.0.0.1", "", "", ""},
               {"TLS required", "right", "127.0.0.1", "dbTls = Required", ";sslmode=required", ""},
               {"TLS as offered", "right", "127.0.0.1", "dbTls = preferred", "", ""},
               {"CA relative to the file", "right", "localhost", "dbTlsCa = ../../ca.pem", ";sslca=@/ca.pem",
                ""},
               {"CA not the issuer", "right", "localhost", "dbTlsCa = @/other.pem", ";sslca=@/other.pem",
                "未能通过"}});
    }
    void settingsFile() { connectAndCheck(true); }

    // A server that asks for the password in clear outside TLS, or for a local file, gets neither.
    void hostileServer_data() {
        // The plugin of the handshake; what the server asks for next: a switch to a plugin, or a file.
        table({"plugin", "asks", "extra", "refusal"},
              {{"clear text in the handshake", "mysql_clear_password", "", "", "密码未发送"},
               {"switch to clear text", "mysql_native_password", "mysql_clear_password", "", "密码未发送"},
               {"switch to PAM dialog", "mysql_native_password", "dialog", "", "密码未发送"},
               {"switch to clear text, TLS required", "mysql_native_password", "mysql_clear_password",
                ";sslmode=REQUIRED", "未连接"},
               {"file asked for", "mysql_native_password", "file", "", "infile"}});
    }
    void hostileServer() {
        QFETCH(QString, plugin);
        QFETCH(QString, asks);
        QFETCH(QString, extra);
        QFETCH(QString, refusal);
        const QByteArray ok("\0\0\0\2\0\0\0", 7);
        const QByteArrayList replies =
            asks == u"file"  ? QByteArrayList{ok, '\xfb' + path("secret.txt").toUtf8(), ok}
            : asks.isEmpty() ? QByteArrayList()
                             : QByteArrayList{'\xfe' + asks.toUtf8() + '\0' + "twenty bytes of salt" + '\0'};
        QByteArray received;
        int connections = 0;
        const Status s = playServer(plugin.toUtf8(), replies, extra, received, connections);
        QCOMPARE(connections, 1);
        QVERIFY(!received.contains("40628173") && !received.contains(kFileContent)); // the password, the file
        QVERIFY2(!s && s.description().contains(refusal, Qt::CaseInsensitive), qPrintable(s.description()));
    }

    // LOAD DATA LOCAL is refused: the statement fails and nothing of the file reaches the table.
    void localFile_data() {
        table({"sql"},
              {{"LOAD DATA", "LOAD DATA LOCAL INFILE '@/secret.txt' INTO TABLE local_file"},
               {"LOAD XML",
                "LOAD XML LOCAL INFILE '@/secret.txt' INTO TABLE local_file ROWS IDENTIFIED BY '<r>'"}});
    }
    void localFile() {
        QFETCH(QString, sql);
        Connection c;
        QVERIFY(c.Open(server.connectionString()));
        QVERIFY(c.Execute("CREATE TEMPORARY TABLE local_file (t TEXT)"));
        QVERIFY(!c.Execute(sql));
        QCOMPARE(cell(c, "SELECT COUNT(*) FROM local_file"), "0");
    }
};

QTEST_MAIN(TestTransport)
#include "tst_transport.moc"
