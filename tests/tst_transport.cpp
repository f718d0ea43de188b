// Transport security against servers of the test's own: TLS whenever offered, required, or verified
// against a CA, directly and through the settings file's keys; servers that ask for what they must not
// get (the password in clear or for their own key, a local file); and a cluster node that froze.
#include "ConnectShim.h"
#include "FakeLoginPrompt.h"
#include "FakeSecretStore.h"
#include "PrivateServer.h"
#include "ScriptedLookup.h"
#include "Seams.h"
#include "database/ConnDatabase.h"
#include "database/Connection.h"

#include <QtTest>

#include <thread>

#include <csignal>
#include <netinet/in.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace Qt::Literals::StringLiterals;

namespace {

const QByteArray kFileContent = "contents-a-server-must-never-see";

// What a hostile server plays: a v10 handshake whose auth plugin is `plugin` (offering TLS with
// "<cert>.pem" unless `cert` is empty), then the next of `replies` for each packet the client sends,
// hanging up when none is left; a client asking for the server's RSA key (1 or 2 alone) gets `publicKey`.
struct Impostor {
    QByteArray plugin;
    QByteArrayList replies;
    QString cert;
    QByteArray publicKey;
};

// Opens a connection to an impostor played on a thread of its own, for as many connections as the client
// makes. Every byte the client sent goes to `received`, decrypted where it came inside TLS (the impostor
// holds the TLS key), and each packet to `packets`.
Status playServer(const Impostor& imp, const QString& extra, const QString& dir, QByteArray& received,
                  QByteArrayList& packets, int& connections) {
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t size = sizeof a;
    if (::bind(listener, reinterpret_cast<sockaddr*>(&a), size) != 0 || ::listen(listener, 4) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &size) != 0)
        return Status::failure("no port to listen on");
    SSL_CTX* tls = nullptr;
    if (!imp.cert.isEmpty()) {
        tls = SSL_CTX_new(TLS_server_method());
        SSL_CTX_use_certificate_file(tls, qPrintable(dir + '/' + imp.cert + ".pem"), SSL_FILETYPE_PEM);
        SSL_CTX_use_PrivateKey_file(tls, qPrintable(dir + '/' + imp.cert + ".key"), SSL_FILETYPE_PEM);
    }
    std::thread server([&] {
        for (int c; (c = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC)) >= 0; ::close(c)) {
            const timeval patience{20, 0}; // for a client that neither speaks nor hangs up
            ::setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
            ++connections;
            SSL* ssl = nullptr;
            const auto send = [&](const QByteArray& b) {
                return ssl ? SSL_write(ssl, b.constData(), int(b.size())) == b.size()
                           : ::send(c, b.constData(), size_t(b.size()), MSG_NOSIGNAL) == b.size();
            };
            // The client's next packet, false when it has gone or kept quiet.
            quint32 seq = 0;
            const auto take = [&] {
                QByteArray packet;
                for (quint32 want = 4, got = 0; got < want;) {
                    char chunk[4096];
                    const int n = ssl ? SSL_read(ssl, chunk, int(std::min<quint32>(want - got, sizeof chunk)))
                                      : int(::recv(c, chunk, std::min<quint32>(want - got, sizeof chunk), 0));
                    if (n <= 0)
                        return false;
                    packet.append(chunk, n);
                    received.append(chunk, n);
                    got += quint32(n);
                    if (got == 4 && want == 4)
                        want += qFromLittleEndian<quint32>(packet.constData()) & 0xffffff;
                }
                seq = quint8(packet[3]) + 1u;
                packets << packet.mid(4);
                return true;
            };
            // Protocol 10 ('\n'), version, connection id, salt 1, capabilities (low), utf8mb4_general_ci,
            // autocommit, capabilities (high), salt length, reserved, salt 2, plugin. The capabilities are
            // CLIENT_MYSQL, CONNECT_WITH_DB, PROTOCOL_41, TRANSACTIONS, SECURE_CONNECTION and PLUGIN_AUTH,
            // and SSL when it has a certificate.
            QByteArray reply = "\n5.5.5-10.11.0-fake\0\1\0\0\0scramble\0\x09"_ba + (tls ? '\xaa' : '\xa2') +
                               "\x2d\2\0\x08\0\x15\0\0\0\0\0\0\0\0\0\0twelve bytes\0"_ba + imp.plugin + '\0';
            QByteArrayList script = imp.replies;
            for (;;) {
                reply.prepend(4, '\0');
                qToLittleEndian(quint32(reply.size() - 4) | seq << 24, reply.data());
                if (!send(reply) || !take())
                    break;
                // A request for TLS (32 bytes with CLIENT_SSL): the login answer follows inside it.
                if (tls && !ssl && packets.last().size() == 32 && (quint8(packets.last()[1]) & 0x08)) {
                    ssl = SSL_new(tls);
                    SSL_set_fd(ssl, c);
                    if (SSL_accept(ssl) != 1 || !take())
                        break;
                }
                if (packets.last() == "\1" || packets.last() == "\2")
                    reply = '\1' + imp.publicKey;
                else if (!script.isEmpty())
                    reply = script.takeFirst();
                else
                    break;
            }
            if (ssl)
                SSL_free(ssl);
        }
    });
    Connection client;
    const Status s =
        client.Open("uid=qelmorand;pwd=40628173;server=127.0.0.1:" + QString::number(ntohs(a.sin_port)) +
                    ";database=qelmorand" + extra);
    ::shutdown(listener, SHUT_RDWR); // ends an accept() no client came to
    server.join();
    ::close(listener);
    SSL_CTX_free(tls);
    return s;
}

// What `data` reads as, decrypted with the RSA key in `keyFile` (OAEP, as the login methods encrypt),
// empty when it is not that key's.
QByteArray rsaDecrypt(const QString& keyFile, const QByteArray& data) {
    FILE* f = std::fopen(qPrintable(keyFile), "r");
    EVP_PKEY* key = f ? PEM_read_PrivateKey(f, nullptr, nullptr, nullptr) : nullptr;
    if (f)
        std::fclose(f);
    EVP_PKEY_CTX* ctx = key ? EVP_PKEY_CTX_new(key, nullptr) : nullptr;
    QByteArray out(512, '\0');
    std::size_t n = std::size_t(out.size());
    const bool ok =
        ctx && EVP_PKEY_decrypt_init(ctx) == 1 &&
        EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_OAEP_PADDING) == 1 &&
        EVP_PKEY_decrypt(ctx, reinterpret_cast<unsigned char*>(out.data()), &n,
                         reinterpret_cast<const unsigned char*>(data.constData()), data.size()) == 1;
    EVP_PKEY_CTX_free(ctx);
    EVP_PKEY_free(key);
    return ok ? out.left(qsizetype(n)) : QByteArray();
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
    QString serverCert;   // what the private server's TLS comes from, none at first
    PrivateServer frozen; // a second node for the name of two
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
        sharedSession().forget();
        sharedSession().connectionSlot() = std::make_unique<Connection>();
        const Status s =
            throughFile ? Status()
                        : sharedSession().connectionSlot()->Open("uid=qelmorand;pwd=40628173" + at + tail);
        error = s.description();
        const bool ok = throughFile ? mConnDatabase::ConnectDatabase(error) == u"True" : s.ok();
        // From the server on: a failed open forgets the account before it.
        const QString built = sharedSession().connectionString();
        QVERIFY2(!throughFile || built.endsWith(at + tail), qPrintable(built));
        QVERIFY2(refusal.isEmpty() ? ok : !ok && error.contains(refusal), qPrintable(error));
        if (ok)
            QCOMPARE(!cell(*sharedSession().connectionSlot(), "SHOW SESSION STATUS LIKE 'Ssl_cipher'", 1)
                          .isEmpty(),
                     !cert.isEmpty());
        sharedSession().forget();
        QVERIFY(sharedSession().settings().tls.isEmpty() && sharedSession().settings().tlsCa.isEmpty() &&
                sharedSession().settings().serverKey.isEmpty());
    }

private Q_SLOTS:
    void initTestCase() {
        REQUIRE_DB(); // a run that has servers at all
        QVERIFY(dir.isValid());
        // A CA, and server certificates signed by it: one for this machine, one for another name.
        const QString signedBy =
            " -addext basicConstraints=CA:FALSE -CA ca.pem -CAkey ca.key -addext subjectAltName=";
        // The impostor's own, not signed by the CA; and one for a cluster's name, on two nodes.
        for (const auto& [name, names] : {std::pair{"ca", ""},
                                          {"right", "DNS:localhost,IP:127.0.0.1"},
                                          {"other", "DNS:db.elsewhere.invalid"},
                                          {"impostor", ""},
                                          {"nodes", "DNS:vornik-nodes.test"}}) {
            QProcess openssl;
            openssl.setWorkingDirectory(dir.path());
            openssl.start("openssl", QString("req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes "
                                             "-days 2 -subj /CN=vornik-test-%1 -keyout %1.key -out %1.pem%2")
                                         .arg(name, *names ? signedBy + names : QString())
                                         .split(u' '));
            QVERIFY(openssl.waitForFinished(60000) && openssl.exitCode() == 0); // a crash gives its signal
        }
        QVERIFY(put("not-a-cert.pem", "not a certificate\n"));
        // RSA keys: the impostor's, which it hands out as the server's, and the team's server's.
        for (const QString name : {"impostor-rsa", "team-rsa"}) {
            QProcess openssl;
            openssl.setWorkingDirectory(dir.path());
            openssl.start("bash", {"-c", QString("openssl genrsa -out %1.key 2048 && openssl rsa -in %1.key "
                                                 "-pubout -out %1.pub")
                                             .arg(name)});
            QVERIFY(openssl.waitForFinished(60000) && openssl.exitCode() == 0);
        }
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
                "未能通过"},
               {"server key relative to the file", "", "127.0.0.1", "dbServerKey = ../../team-rsa.pub",
                ";server_public_key=@/team-rsa.pub", ""}});
    }
    void settingsFile() { connectAndCheck(true); }

    // A server that asks for the password in clear outside verified TLS, for the password encrypted with
    // its own RSA key, or for a local file, gets none of them: whatever it received, decrypted with its
    // own keys (TLS, RSA), holds no password. The last row shows that the decryption finds one when the
    // configured key is the impostor's own.
    void hostileServer_data() {
        // The plugin of the handshake; what the server asks for next: a switch to a plugin, full
        // authentication, or a file; the impostor's certificate, none for no TLS.
        table(
            {"plugin", "asks", "extra", "cert", "refusal"},
            {{"clear text in the handshake", "mysql_clear_password", "", "", "", "密码未发送"},
             {"switch to clear text", "mysql_native_password", "mysql_clear_password", "", "", "密码未发送"},
             {"switch to PAM dialog", "mysql_native_password", "dialog", "", "", "密码未发送"},
             {"switch to clear text, TLS required", "mysql_native_password", "mysql_clear_password",
              ";sslmode=REQUIRED", "", "未连接"},
             {"switch to clear text, self-signed, TLS required", "mysql_native_password",
              "mysql_clear_password", ";sslmode=REQUIRED", "impostor", "密码未发送"},
             {"caching_sha2 full authentication", "caching_sha2_password", "full", "", "", "密码未发送"},
             {"caching_sha2 full authentication, TLS required", "caching_sha2_password", "full",
              ";sslmode=REQUIRED", "", "不提供 TLS"},
             {"caching_sha2 full authentication, self-signed, TLS required", "caching_sha2_password", "full",
              ";sslmode=REQUIRED", "impostor", "密码未发送"},
             {"sha256 with the impostor's key", "mysql_native_password", "sha256_password", "", "",
              "密码未发送"},
             {"sha256 with the impostor's key, TLS required", "mysql_native_password", "sha256_password",
              ";sslmode=REQUIRED", "", "不提供 TLS"},
             {"sha256, self-signed, TLS required", "mysql_native_password", "sha256_password",
              ";sslmode=REQUIRED", "impostor", "密码未发送"},
             {"sha256, self-signed, TLS offered", "mysql_native_password", "sha256_password", "", "impostor",
              "密码未发送"},
             {"sha256, the team's key configured", "mysql_native_password", "sha256_password",
              ";server_public_key=@/team-rsa.pub", "", ""},
             {"caching_sha2 full authentication, the team's key configured", "caching_sha2_password", "full",
              ";server_public_key=@/team-rsa.pub", "impostor", ""},
             {"file asked for", "mysql_native_password", "file", "", "", "infile"},
             {"control: the configured key is the impostor's", "mysql_native_password", "sha256_password",
              ";server_public_key=@/impostor-rsa.pub", "", "revealed"}});
    }
    void hostileServer() {
        QFETCH(QString, plugin);
        QFETCH(QString, asks);
        QFETCH(QString, extra);
        QFETCH(QString, cert);
        QFETCH(QString, refusal);
        const QByteArray ok("\0\0\0\2\0\0\0", 7);
        QFile key(path("impostor-rsa.pub"));
        QVERIFY(key.open(QIODevice::ReadOnly));
        Impostor imp{plugin.toUtf8(), {}, cert, key.readAll()};
        imp.replies = asks == u"file"   ? QByteArrayList{ok, '\xfb' + path("secret.txt").toUtf8(), ok}
                      : asks == u"full" ? QByteArrayList{"\1\4", ok}
                      : asks.isEmpty()
                          ? QByteArrayList()
                          : QByteArrayList{'\xfe' + asks.toUtf8() + '\0' + "twenty bytes of salt" + '\0', ok};
        QByteArray received;
        QByteArrayList packets;
        int connections = 0;
        const Status s = playServer(imp, extra, dir.path(), received, packets, connections);
        QVERIFY(connections >= 1);
        QVERIFY(!received.contains("40628173") && !received.contains(kFileContent)); // the password, the file
        bool revealed = false;
        for (const QByteArray& packet : packets) {
            const QByteArray opened = rsaDecrypt(path("impostor-rsa.key"), packet);
            // The password is sent with the scramble of the greeting or of the switch laid over it.
            for (const QByteArray& salt : {"scrambletwelve bytes"_ba, "twenty bytes of salt"_ba}) {
                QByteArray clear = opened;
                for (qsizetype i = 0; i < clear.size(); ++i)
                    clear[i] = char(clear[i] ^ salt[i % salt.size()]);
                revealed = revealed || clear.contains("40628173");
            }
        }
        QCOMPARE(revealed, refusal == u"revealed");
        if (!revealed)
            QVERIFY2(!s && s.description().contains(refusal, Qt::CaseInsensitive),
                     qPrintable(s.description()));
    }

    // One name for two nodes, the first of which froze (SIGSTOP): the open reaches the other within the
    // first one's share of the connect time-out, with its certificate verified against the name when a CA
    // is given, and a cancel's KILL QUERY goes to the node that holds the session.
    void frozenNodeIsPassedOver_data() {
        table({"tail"},
              {{"TLS offered", ""}, {"TLS required", ";sslmode=REQUIRED"}, {"CA", ";sslca=@/ca.pem"}});
    }
    void frozenNodeIsPassedOver() {
        QFETCH(QString, tail);
        const QStringList tls{"--ssl-cert=" + path("nodes.pem"), "--ssl-key=" + path("nodes.key"),
                              "--ssl-ca=" + path("ca.pem")};
        QString error;
        if (serverCert != u"nodes")
            QVERIFY2(server.restart(tls, &error), qPrintable(error));
        serverCert = "nodes";
        if (!frozen.running()) { // on the other node's address and the same port
            frozen.listenOn("127.0.0.2", server.port());
            QVERIFY2(frozen.start(tls, &error), qPrintable(error));
        }
        ScriptedLookup nodes;
        nodes.answer({"127.0.0.2", "127.0.0.1"});
        ScopedSeam lookupSeam(setHostLookup, &nodes);
        QVERIFY(::kill(pid_t(frozen.pid()), SIGSTOP) == 0);
        const auto thaw = qScopeGuard([&] { ::kill(pid_t(frozen.pid()), SIGCONT); });
        Connection c;
        QElapsedTimer clock;
        clock.start();
        const Status opened = c.Open("uid=qelmorand;pwd=40628173;server=vornik-nodes.test:" + server.port() +
                                     ";database=qelmorand" + tail);
        const qint64 took = clock.elapsed();
        qInfo("open past the frozen node: %lld ms", took);
        QVERIFY2(opened, qPrintable(opened.description()));
        QVERIFY2(took >= 4900 && took < 6500, qPrintable(QString::number(took)));
        QCOMPARE(cell(c, "SHOW VARIABLES LIKE 'bind_address'", 1), "127.0.0.1");
        QVERIFY(!cell(c, "SHOW SESSION STATUS LIKE 'Ssl_cipher'", 1).isEmpty());
        const auto cancel = std::make_shared<Cancellation>();
        QTimer::singleShot(500, this, [&] { cancel->cancel(); });
        clock.restart();
        const auto r = c.query("select sleep(10)", {}, cancel);
        QVERIFY(!r && r.error().cancelled);
        QVERIFY2(clock.elapsed() < 2000, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(cell(c, "select 'still here'"), "still here"); // ended by KILL QUERY: the session stays
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
