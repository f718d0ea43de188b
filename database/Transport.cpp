#include "database/Transport.h"

#include "database/Connection.h"
#include "database/ConnectionThread.h"
#include "database/HostLookup.h"
#include "database/Statements.h"
#include "util/Secret.h"

#include <QFile>
#include <QScopeGuard>

#include <errmsg.h>
#include <mysqld_error.h>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

qint64 monotonicMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

namespace {

constexpr unsigned int kConnectTimeoutSeconds = 15;
// At most this long on one of several addresses before the next is tried.
constexpr qint64 kAddressTimeoutMs = 5000;

constexpr quint32 kClientLongPassword = 0x1, kClientProtocol41 = 0x200, kClientSsl = 0x800,
                  kClientSecureConnection = 0x8000;
constexpr quint8 kUtf8mb4GeneralCi = 45;
// A greeting is a hundred bytes or so; anything far larger is not a database server's.
constexpr quint32 kMaxGreeting = 64 * 1024;

constexpr char kChallengeResponse[] = "mysql_native_password,client_ed25519";
constexpr char kKeyEncrypted[] = ",caching_sha2_password,sha256_password";
constexpr char kClearText[] = ",mysql_clear_password,dialog";

Error refusal(const QString& text, unsigned int code = CR_SSL_CONNECTION_ERROR) {
    return Error{Error::kProviderError, text, code};
}

Error unreachable(const QByteArray& address, const QString& why, bool timedOut = false) {
    Error e =
        refusal(QStringLiteral("Can't connect to server on '%1' (%2)").arg(QString::fromUtf8(address), why),
                CR_CONN_HOST_ERROR);
    if (timedOut)
        e.number = Error::kTimeout;
    return e;
}

struct Socket {
    int fd = -1;
    ~Socket() {
        if (fd >= 0)
            ::close(fd);
    }
};

// 1 when `fd` is ready, 0 when the deadline passed, -1 when told to stop.
int waitReady(int fd, short events, const Deadline& d) {
    for (;;) {
        const qint64 left = d.atMs - monotonicMs();
        if (left <= 0)
            return 0;
        pollfd fds[2] = {{fd, events, 0}, {d.wakeFd, POLLIN, 0}};
        const int n = ::poll(fds, d.wakeFd >= 0 ? 2 : 1, static_cast<int>(left));
        if (n < 0 && errno != EINTR)
            return -1;
        if (n > 0 && (fds[1].revents & POLLIN)) {
            quint64 count = 0;
            [[maybe_unused]] const auto r = ::read(d.wakeFd, &count, sizeof count);
            if (d.stop && d.stop())
                return -1;
        }
        if (n > 0 && fds[0].revents)
            return 1;
    }
}

// Reads exactly `n` bytes; an error tells why not.
std::optional<Error> readFull(int fd, char* to, std::size_t n, const QByteArray& address, const Deadline& d) {
    while (n > 0) {
        const ssize_t got = ::recv(fd, to, n, 0);
        if (got > 0) {
            to += got;
            n -= static_cast<std::size_t>(got);
            continue;
        }
        if (got == 0)
            return unreachable(address, QStringLiteral("the server closed the connection"));
        if (errno != EAGAIN && errno != EINTR)
            return unreachable(address, QString::fromLocal8Bit(std::strerror(errno)));
        const int ready = waitReady(fd, POLLIN, d);
        if (ready <= 0) {
            Error e = unreachable(address, QStringLiteral("no answer"), ready == 0);
            e.cancelled = ready < 0;
            return e;
        }
    }
    return std::nullopt;
}

// Connects without blocking; the greeting's capabilities (or why there are none).
Result<quint32> greet(Socket& s, const QByteArray& address, unsigned int port, const Deadline& d) {
    sockaddr_storage a{};
    socklen_t size = 0;
    if (auto* v4 = reinterpret_cast<sockaddr_in*>(&a);
        ::inet_pton(AF_INET, address.constData(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(static_cast<quint16>(port));
        size = sizeof *v4;
    } else if (auto* v6 = reinterpret_cast<sockaddr_in6*>(&a);
               ::inet_pton(AF_INET6, address.constData(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(static_cast<quint16>(port));
        size = sizeof *v6;
    } else {
        return unreachable(address, QStringLiteral("not a numeric address"));
    }
    s.fd = ::socket(a.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (s.fd < 0 || (::connect(s.fd, reinterpret_cast<sockaddr*>(&a), size) != 0 && errno != EINPROGRESS))
        return unreachable(address, QString::fromLocal8Bit(std::strerror(errno)));
    if (const int ready = waitReady(s.fd, POLLOUT, d); ready <= 0) {
        Error e = unreachable(address, QStringLiteral("no answer"), ready == 0);
        e.cancelled = ready < 0;
        return e;
    }
    int failure = 0;
    socklen_t length = sizeof failure;
    if (::getsockopt(s.fd, SOL_SOCKET, SO_ERROR, &failure, &length) != 0 || failure != 0)
        return unreachable(address, QString::fromLocal8Bit(std::strerror(failure)));

    unsigned char head[4];
    if (auto e = readFull(s.fd, reinterpret_cast<char*>(head), 4, address, d))
        return *e;
    const quint32 length3 = head[0] | head[1] << 8 | head[2] << 16;
    if (length3 == 0 || length3 > kMaxGreeting)
        return refusal(QStringLiteral("%1 不是数据库服务器，未连接").arg(QString::fromUtf8(address)),
                       CR_SERVER_HANDSHAKE_ERR);
    QByteArray g(static_cast<qsizetype>(length3), '\0');
    if (auto e = readFull(s.fd, g.data(), g.size(), address, d))
        return *e;
    if (static_cast<unsigned char>(g[0]) == 0xff &&
        g.size() >= 3) // the server refuses at once (too many connections...)
        return refusal(QString::fromUtf8(g.mid(3)),
                       static_cast<unsigned char>(g[1]) | static_cast<unsigned char>(g[2]) << 8);
    // Protocol 10, the version up to its NUL, the connection id, 8 bytes of salt, a filler, capabilities.
    const qsizetype versionEnd = g.indexOf('\0', 1);
    if (g[0] != '\n' || versionEnd < 0 || versionEnd + 16 > g.size())
        return refusal(QStringLiteral("%1 不是数据库服务器，未连接").arg(QString::fromUtf8(address)),
                       CR_SERVER_HANDSHAKE_ERR);
    const auto* caps = reinterpret_cast<const unsigned char*>(g.constData() + versionEnd + 14);
    return quint32(caps[0] | caps[1] << 8);
}

QString certificateFailure(long result) {
    return QString::fromUtf8(X509_verify_cert_error_string(result));
}

} // namespace

TransportPolicy transportPolicy(const ConnectionParams& p) {
    TransportPolicy t;
    t.verify = !p.tlsCa.isEmpty();
    t.requireTls = t.verify || p.tlsMode == u"required";
    t.serverKey = p.serverKey.isEmpty() || t.verify ? QByteArray() : QFile::encodeName(p.serverKey);
    t.offerTls = t.requireTls || t.serverKey.isEmpty();
    t.ca = QFile::encodeName(p.tlsCa);
    t.methods = kChallengeResponse;
    if (t.verify || (!t.serverKey.isEmpty() && !t.offerTls))
        t.methods += kKeyEncrypted;
    if (t.verify)
        t.methods += kClearText;
    return t;
}

namespace {

// Asks the server at `address` for TLS: its greeting read, then the first 32 bytes of a login answer with
// TLS asked for, after which the server starts TLS. Nothing of the account is sent.
std::optional<Error> askForTls(Socket& s, const ConnectionParams& p, const QByteArray& address,
                               const QString& hostName, const Deadline& d) {
    const Result<quint32> caps = greet(s, address, p.port, d);
    if (!caps)
        return caps.error();
    if (!(caps.value() & kClientSsl))
        return refusal(QStringLiteral("设置要求加密连接（TLS），但服务器 %1 不提供 TLS，未连接。"
                                      "请服务器管理员为数据库服务器启用 TLS")
                           .arg(hostName));
    unsigned char request[36] = {32, 0, 0, 1};
    const quint32 flags = kClientLongPassword | kClientProtocol41 | kClientSsl | kClientSecureConnection;
    for (int i = 0; i < 4; ++i)
        request[4 + i] = static_cast<unsigned char>(flags >> (8 * i));
    request[11] = 1; // 16 MB packets
    request[12] = kUtf8mb4GeneralCi;
    if (::send(s.fd, request, sizeof request, MSG_NOSIGNAL) != ssize_t(sizeof request))
        return unreachable(address, QString::fromLocal8Bit(std::strerror(errno)));
    return std::nullopt;
}

struct Tls {
    std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> ctx{nullptr, SSL_CTX_free};
    std::unique_ptr<SSL, decltype(&SSL_free)> ssl{nullptr, SSL_free};
};

// A TLS client on `fd`, set to verify the chain against the CA and the certificate against `hostName`
// when the policy verifies.
std::optional<Error> setUpTls(Tls& tls, const TransportPolicy& policy, const ConnectionParams& p,
                              const QString& hostName, int fd) {
    ERR_clear_error();
    tls.ctx.reset(SSL_CTX_new(TLS_client_method()));
    if (!tls.ctx)
        return refusal(QStringLiteral("无法建立加密连接（TLS）：OpenSSL 无法初始化，未连接"));
    if (policy.verify) {
        if (SSL_CTX_load_verify_locations(tls.ctx.get(), policy.ca.constData(), nullptr) != 1)
            return refusal(QStringLiteral("CA 证书文件“%1”中没有可用的证书，未连接").arg(p.tlsCa));
        SSL_CTX_set_verify(tls.ctx.get(), SSL_VERIFY_PEER, nullptr);
    }
    tls.ssl.reset(SSL_new(tls.ctx.get()));
    if (!tls.ssl || SSL_set_fd(tls.ssl.get(), fd) != 1)
        return refusal(QStringLiteral("无法建立加密连接（TLS），未连接"));
    if (!policy.verify)
        return std::nullopt;
    const QByteArray name = hostName.toUtf8();
    X509_VERIFY_PARAM* check = SSL_get0_param(tls.ssl.get());
    X509_VERIFY_PARAM_set_hostflags(check, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    unsigned char ip[sizeof(in6_addr)];
    const bool numeric =
        ::inet_pton(AF_INET, name.constData(), ip) == 1 || ::inet_pton(AF_INET6, name.constData(), ip) == 1;
    if (numeric ? X509_VERIFY_PARAM_set1_ip_asc(check, name.constData()) != 1
                : X509_VERIFY_PARAM_set1_host(check, name.constData(), 0) != 1)
        return refusal(QStringLiteral("无法按“%1”验证服务器的证书，未连接").arg(hostName));
    if (!numeric)
        SSL_set_tlsext_host_name(tls.ssl.get(), name.constData());
    return std::nullopt;
}

// A failed handshake in the user's terms.
Error handshakeRefusal(SSL* ssl, const TransportPolicy& policy, const ConnectionParams& p,
                       const QString& hostName) {
    const long result = SSL_get_verify_result(ssl);
    if (policy.verify && (result == X509_V_ERR_HOSTNAME_MISMATCH || result == X509_V_ERR_IP_ADDRESS_MISMATCH))
        return refusal(
            QStringLiteral("服务器的证书不是为“%1”签发的：可能连到了冒充的服务器，已拒绝连接（%2）")
                .arg(hostName, certificateFailure(result)));
    if (policy.verify && result != X509_V_OK)
        return refusal(QStringLiteral("服务器的证书未能通过 CA 证书文件“%1”的验证：可能连到了冒充的服务器，"
                                      "已拒绝连接（%2）")
                           .arg(p.tlsCa, certificateFailure(result)));
    char text[256] = {};
    ERR_error_string_n(ERR_get_error(), text, sizeof text);
    return refusal(QStringLiteral("无法与服务器 %1 建立加密连接（TLS），未连接（%2）")
                       .arg(hostName, QString::fromUtf8(text)));
}

std::optional<Error> handshake(SSL* ssl, int fd, const TransportPolicy& policy, const ConnectionParams& p,
                               const QByteArray& address, const QString& hostName, const Deadline& d) {
    for (;;) {
        const int rc = SSL_connect(ssl);
        if (rc == 1)
            return std::nullopt;
        const int why = SSL_get_error(ssl, rc);
        if (why != SSL_ERROR_WANT_READ && why != SSL_ERROR_WANT_WRITE)
            return handshakeRefusal(ssl, policy, p, hostName);
        if (const int ready = waitReady(fd, why == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, d); ready <= 0) {
            Error e = unreachable(address, QStringLiteral("no answer to TLS"), ready == 0);
            e.cancelled = ready < 0;
            return e;
        }
    }
}

} // namespace

Result<QByteArray> probeCertificate(const TransportPolicy& policy, const ConnectionParams& p,
                                    const QByteArray& address, const QString& hostName, const Deadline& d) {
    if (policy.verify) {
        QFile ca(p.tlsCa);
        if (!ca.open(QIODevice::ReadOnly))
            return refusal(
                QStringLiteral("无法读取 CA 证书文件“%1”：%2，未连接").arg(p.tlsCa, ca.errorString()));
    }
    Socket s;
    if (std::optional<Error> refused = askForTls(s, p, address, hostName, d))
        return *refused;
    Tls tls;
    if (std::optional<Error> refused = setUpTls(tls, policy, p, hostName, s.fd))
        return *refused;
    if (std::optional<Error> refused = handshake(tls.ssl.get(), s.fd, policy, p, address, hostName, d))
        return *refused;
    const std::unique_ptr<X509, decltype(&X509_free)> cert(SSL_get1_peer_certificate(tls.ssl.get()),
                                                           X509_free);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!cert || X509_digest(cert.get(), EVP_sha1(), digest, &length) != 1)
        return refusal(QStringLiteral("服务器 %1 没有出示证书，未连接").arg(hostName));
    SSL_shutdown(tls.ssl.get()); // a courtesy: it may not get through a full socket, and need not
    return QByteArray(reinterpret_cast<const char*>(digest), static_cast<qsizetype>(length))
        .toHex()
        .toUpper();
}

void configureSession(MYSQL* m, const TransportPolicy& policy, const QByteArray& fingerprint,
                      unsigned int readTimeoutSeconds, unsigned int connectTimeoutSeconds) {
    mysql_options(m, MYSQL_OPT_NONBLOCK, nullptr);
    // TCP even for "localhost", as the network driver does; the Unix socket is not where our server is.
    const unsigned int protocol = MYSQL_PROTOCOL_TCP;
    mysql_options(m, MYSQL_OPT_PROTOCOL, &protocol);
    mysql_options(m, MYSQL_SET_CHARSET_NAME, "utf8mb4");
    mysql_options(m, MYSQL_OPT_CONNECT_TIMEOUT, &connectTimeoutSeconds);
    mysql_options(m, MYSQL_OPT_READ_TIMEOUT, &readTimeoutSeconds);
    mysql_options(m, MYSQL_OPT_WRITE_TIMEOUT, &readTimeoutSeconds);
    // A server must never be able to ask for one of our files.
    const unsigned int noLocalFiles = 0;
    mysql_options(m, MYSQL_OPT_LOCAL_INFILE, &noLocalFiles);
    if (policy.offerTls)
        // With a CA the library also checks the chain; the host name was checked by the probe, and the
        // library, connecting by address, would check the address instead.
        mysql_ssl_set(m, nullptr, nullptr, policy.verify ? policy.ca.constData() : nullptr, nullptr, nullptr);
    // A pinned certificate makes the library refuse, before it sends the account, a server without TLS
    // or with another certificate than the one the probe took (and verified).
    if (policy.requireTls)
        mysql_optionsv(m, MARIADB_OPT_TLS_PEER_FP, fingerprint.constData());
    if (!policy.serverKey.isEmpty())
        mysql_options(m, MYSQL_SERVER_PUBLIC_KEY, policy.serverKey.constData());
    mysql_optionsv(m, MARIADB_OPT_RESTRICTED_AUTH, policy.methods.constData());
}

Error explainTransportRefusal(Error e, const ConnectionParams& p, const QString& hostName) {
    const QString said = e.description;
    const auto with = [&](const QString& why) {
        e.description = why + QStringLiteral("（") + said + QStringLiteral("）");
        return e;
    };
    if (e.nativeError == CR_PLUGIN_NOT_ALLOWED) {
        // After a switch of methods the library names the method with whatever its buffer then holds.
        const QString method = said.section(u'\'', 1, 1);
        if (method == u"mysql_clear_password" || method == u"dialog")
            e.description = QStringLiteral(
                "服务器要求以明文发送密码，而连接没有受经过验证的 TLS 保护：为保护密码，密码未发送，"
                "未连接。请服务器管理员为数据库服务器启用 TLS，并在设置中指定 CA 证书（dbTlsCa）");
        else if (method == u"caching_sha2_password" || method == u"sha256_password")
            e.description =
                QStringLiteral(
                    "服务器要求以 %1 登录，这种方式会把密码本身交给对方，而对方的身份没有经过验证："
                    "为保护密码，密码未发送，未连接。请在设置中指定 CA 证书（dbTlsCa），"
                    "或（不要求 TLS 时）服务器的公钥文件（dbServerKey）")
                    .arg(method);
        else
            e.description =
                QStringLiteral("服务器要求的登录方式不被允许（会把密码交给身份未经验证的对方，或不安全、"
                               "不受支持的方式）：为保护密码，密码未发送，未连接");
        return e;
    }
    if (e.nativeError != CR_SSL_CONNECTION_ERROR)
        return e;
    if (said.contains(QLatin1String("server does not support")))
        return with(QStringLiteral("设置要求加密连接（TLS），但服务器 %1 不提供 TLS，未连接。"
                                   "请服务器管理员为数据库服务器启用 TLS")
                        .arg(hostName));
    if (said.contains(QLatin1String("ingerprint")))
        return with(
            QStringLiteral("服务器 %1 的证书在连接时与先前出示的不同：可能连到了冒充的服务器，已拒绝连接")
                .arg(hostName));
    if (!p.tlsCa.isEmpty() && said.contains(QLatin1String("certificate"), Qt::CaseInsensitive))
        return with(
            QStringLiteral("服务器的证书未能通过 CA 证书文件“%1”的验证：可能连到了冒充的服务器，已拒绝连接")
                .arg(p.tlsCa));
    return with(QStringLiteral("无法与服务器 %1 建立加密连接（TLS），未连接").arg(hostName));
}

void limitBlockingIo(int fd, qint64 ms) {
    const timeval limit{static_cast<time_t>(ms / 1000), static_cast<suseconds_t>(ms % 1000 * 1000)};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

void setNonBlocking(int fd) {
    if (const int flags = ::fcntl(fd, F_GETFL); flags >= 0 && !(flags & O_NONBLOCK))
        ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

namespace {

// Runs a non-blocking call to its end within `deadline`; past it the socket is shut down, so the call
// ends with an error whatever it waited for.
template <class Cont> void driveUntil(MYSQL* m, int status, qint64 deadline, Cont&& cont) {
    bool limited = false, cut = false;
    while (status != 0) {
        const int fd = static_cast<int>(mysql_get_socket(m));
        if (fd >= 0 && !limited) {
            limitBlockingIo(fd, std::max<qint64>(deadline - monotonicMs(), 1));
            limited = true;
        }
        int timeout = cut ? 0 : static_cast<int>(std::max<qint64>(deadline - monotonicMs(), 0));
        if (status & MYSQL_WAIT_TIMEOUT)
            timeout = std::min(timeout, static_cast<int>(mysql_get_timeout_value_ms(m)));
        pollfd f{fd,
                 static_cast<short>(((status & MYSQL_WAIT_READ) ? POLLIN : 0) |
                                    ((status & MYSQL_WAIT_WRITE) ? POLLOUT : 0)),
                 0};
        const int n = ::poll(&f, 1, timeout);
        if (n < 0 && errno == EINTR)
            continue;
        int event = status & (MYSQL_WAIT_READ | MYSQL_WAIT_WRITE);
        if (n == 0 && (status & MYSQL_WAIT_TIMEOUT)) {
            event = MYSQL_WAIT_TIMEOUT;
        } else if (n == 0 && !cut) {
            if (fd >= 0)
                ::shutdown(fd, SHUT_RDWR);
            cut = true;
        }
        status = cont(event);
    }
}

} // namespace

Status sendKill(ConnectionParams& params, const QByteArray& address, unsigned long threadId,
                bool wholeSession, qint64 timeoutMs) {
    QByteArray user = params.user.toUtf8();
    QByteArray password = params.password.toUtf8();
    const auto forget = qScopeGuard([&] {
        wipe(user);
        wipe(password);
        wipe(params.user);
        wipe(params.password);
    });
    const qint64 deadline = monotonicMs() + timeoutMs;
    const TransportPolicy policy = transportPolicy(params);
    const QString hostName = params.host.isEmpty() ? QStringLiteral("localhost") : params.host;
    QByteArray fingerprint;
    if (policy.requireTls) {
        const Result<QByteArray> probed =
            probeCertificate(policy, params, address, hostName, Deadline{deadline, -1, {}});
        if (!probed)
            return probed.error();
        fingerprint = probed.value();
    }
    const MysqlPtr k(mysql_init(nullptr));
    if (!k)
        return Status::failure(QStringLiteral("无法创建数据库连接（内存不足）"));
    MYSQL* m = k.get();
    const auto seconds = static_cast<unsigned int>(std::max<qint64>(timeoutMs / 1000, 1));
    configureSession(m, policy, fingerprint, seconds, seconds);
    MYSQL* connected = nullptr;
    driveUntil(m,
               mysql_real_connect_start(&connected, m, address.constData(), user.constData(),
                                        password.constData(), nullptr, params.port, nullptr, 0),
               deadline, [&](int event) { return mysql_real_connect_cont(&connected, m, event); });
    if (!connected)
        return Status::failure(QString::fromUtf8(mysql_error(m)));
    setNonBlocking(static_cast<int>(mysql_get_socket(m)));
    const QByteArray sql =
        (wholeSession ? QByteArrayLiteral("KILL CONNECTION ") : QByteArrayLiteral("KILL QUERY ")) +
        QByteArray::number(static_cast<qulonglong>(threadId));
    int rc = 1;
    driveUntil(m, mysql_real_query_start(&rc, m, sql.constData(), static_cast<unsigned long>(sql.size())),
               deadline, [&](int event) { return mysql_real_query_cont(&rc, m, event); });
    return rc == 0 ? Status() : Status::failure(QString::fromUtf8(mysql_error(m)));
}

// ---- A session of the connection's thread, opened and pinned --------------------------------------

struct Login {
    const ConnectionParams& params;
    QString hostName;
    TransportPolicy policy;
    QByteArray user;
    QByteArray password;
    QByteArray database;
    unsigned int readTimeoutSeconds;
};

namespace {

// A server that cannot take the session now: not listening, not reachable, shutting down, or a
// cluster node that is not part of the primary component ("WSREP has not yet prepared node").
bool unavailable(unsigned int code) {
    return code == CR_CONN_HOST_ERROR || code == CR_CONNECTION_ERROR || lostConnection(code);
}

// Only a server that is not there, not answering or not ready sends an open on to the next address; a
// refused account or an unsafe transport is the same on every server.
bool worthAnother(const Error& e) {
    return unavailable(e.nativeError) || e.isTimeout();
}

} // namespace

void Connection::Worker::open(Operation& op) {
    // The previous handle goes first, whatever becomes of the new one.
    handle.reset();
    forgetAccount();
    lastParams = std::move(op.connect); // held here alone, so wiping it wipes the only copy
    lastReadTimeout = op.readTimeoutSeconds;
    connectTo(lastParams, lastReadTimeout, op);
    if (!handle)
        forgetAccount();
}

std::optional<QStringList> Connection::Worker::addressOrder(const QString& hostName, Operation& op) {
    const Result<QStringList> addresses = (lookup ? *lookup : hostLookup()).resolve(hostName);
    if (op.givenUp()) {
        aborted = true;
        return std::nullopt;
    }
    if (!addresses || addresses.value().isEmpty()) {
        const QString why = addresses ? QStringLiteral("no address") : addresses.error().description;
        op.error = Error{Error::kProviderError,
                         QStringLiteral("Unknown server host '%1' (%2)").arg(hostName, why), CR_UNKNOWN_HOST};
        return std::nullopt;
    }
    // Always by address, so each address gets its share of the time and the lost one goes last; a
    // certificate is checked against the settings' host name by the probe, before the session.
    QStringList order = addresses.value();
    // A server that just went away (a cluster node stopped, say) is tried last, not first.
    if (order.size() > 1 && order.removeAll(QString::fromUtf8(avoidHost)) > 0)
        order << QString::fromUtf8(avoidHost);
    return order;
}

void Connection::Worker::connectTo(const ConnectionParams& p, unsigned int readTimeoutSeconds,
                                   Operation& op) {
    const QString hostName = p.host.isEmpty() ? QStringLiteral("localhost") : p.host;
    const std::optional<QStringList> order = addressOrder(hostName, op);
    if (!order)
        return;
    Login login{p,
                hostName,
                transportPolicy(p),
                p.user.toUtf8(),
                p.password.toUtf8(),
                p.database.toUtf8(),
                readTimeoutSeconds};
    const auto forget = qScopeGuard([&] {
        wipe(login.user);
        wipe(login.password);
    });
    // Every address shares one connect time-out; one that does not answer holds up the rest for a
    // few seconds at most.
    const qint64 deadline = monotonicMs() + kConnectTimeoutSeconds * 1000;
    for (qsizetype i = 0; i < order->size(); ++i) {
        const bool last = i + 1 == order->size();
        const qint64 leftMs = std::max<qint64>(deadline - monotonicMs(), 1000);
        const qint64 attemptMs =
            last ? leftMs : std::min<qint64>(leftMs / (order->size() - i), kAddressTimeoutMs);
        limit = {monotonicMs() + attemptMs, 0};
        limitedFd = -1;
        timedOut = false;
        if (!attempt(login, order->at(i).toUtf8(), op))
            return;
    }
}

bool Connection::Worker::attempt(const Login& login, const QByteArray& host, Operation& op) {
    QByteArray fingerprint;
    if (login.policy.requireTls) {
        const Result<QByteArray> probed =
            probeCertificate(login.policy, login.params, host, login.hostName,
                             Deadline{limit.untilMs, eventFd, [&] { return op.givenUp(); }});
        if (op.givenUp()) {
            aborted = true;
            return false;
        }
        if (!probed) {
            op.error = probed.error();
            return worthAnother(*op.error);
        }
        fingerprint = probed.value();
    }
    MysqlPtr h(mysql_init(nullptr));
    if (!h) {
        op.error = Error{Error::kProviderError, QStringLiteral("无法创建数据库连接（内存不足）"), 0};
        return false;
    }
    MYSQL* m = h.get();
    // Rounded up: the library's own connect timer must not end an attempt before its share does.
    const auto attemptSeconds =
        static_cast<unsigned int>(std::max<qint64>((limit.untilMs - monotonicMs() + 999) / 1000, 1));
    configureSession(m, login.policy, fingerprint, login.readTimeoutSeconds, attemptSeconds);
    MYSQL* connected = nullptr;
    const int status = mysql_real_connect_start(
        &connected, m, host.constData(), login.user.constData(), login.password.constData(),
        login.database.isEmpty() ? nullptr : login.database.constData(), login.params.port, nullptr, 0);
    drive(m, status, op, [&](int event) { return mysql_real_connect_cont(&connected, m, event); });
    if (aborted)
        return false;
    if (!connected) {
        op.error = explainTransportRefusal(errorFrom(m, timedOut), login.params, login.hostName);
        return worthAnother(*op.error);
    }
    setNonBlocking(static_cast<int>(mysql_get_socket(m)));
    if (!pin(m, op))
        return !aborted && worthAnother(*op.error);
    op.error.reset();
    handle = std::move(h);
    handleGeneration = op.generation;
    lastHost = host;
    avoidHost.clear();
    threadId = mysql_thread_id(m);
    return false;
}

bool Connection::Worker::pin(MYSQL* m, Operation& op) {
    // The server's init_connect has run by now and may have changed the character set or the
    // backslash mode: set the one, read the other.
    static const QByteArray kNames = QByteArrayLiteral("SET NAMES utf8mb4");
    static const QByteArray kMode = QByteArrayLiteral("SELECT @@SESSION.sql_mode");
    int rc = 0;
    drive(m, mysql_real_query_start(&rc, m, kNames.constData(), static_cast<unsigned long>(kNames.size())),
          op, [&](int event) { return mysql_real_query_cont(&rc, m, event); });
    if (rc == 0)
        drive(m, mysql_real_query_start(&rc, m, kMode.constData(), static_cast<unsigned long>(kMode.size())),
              op, [&](int event) { return mysql_real_query_cont(&rc, m, event); });
    MYSQL_RES* raw = nullptr;
    if (rc == 0)
        drive(m, mysql_store_result_start(&raw, m), op,
              [&](int event) { return mysql_store_result_cont(&raw, m, event); });
    const MysqlResultPtr mode(raw);
    if (aborted)
        return false;
    const MYSQL_ROW row = mode ? mysql_fetch_row(mode.get()) : nullptr;
    if (rc != 0 || !row) {
        op.error = errorFrom(m, timedOut);
        op.error->description =
            QStringLiteral("无法设定数据库会话（字符集 utf8mb4）：") + op.error->description;
        return false;
    }
    noBackslashEscapes = row[0] && std::strstr(row[0], "NO_BACKSLASH_ESCAPES") != nullptr;
    return true;
}
