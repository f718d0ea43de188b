#pragma once
// How a session keeps the account from a server that has not proven who it is, and keeps every wait
// bounded: which login methods a session may use, TLS and the server's certificate (checked before the
// client library sends anything of the account), refusals in the user's terms, the socket limits, and
// the short session that ends a statement on the server.
//
// Connector/C decides on its own, once it has read the server's greeting, what it sends; nothing can be
// changed in between. So what the settings ask for is fixed before the library connects:
// - with a CA (dbTlsCa), a TLS handshake of our own with the address first verifies the certificate's
//   chain and the settings' host name; the library's session is then pinned to that certificate, which
//   it checks before it answers the greeting with the account;
// - with TLS required but no CA, the same handshake takes whatever certificate the server has (nothing is
//   verified) and the pin makes the library refuse a server without TLS before it sends the account;
// - the login methods that hand the password itself to the peer are allowed only where only the right
//   server can read it (see transportPolicy).
//
// Transport.cpp also opens the connection thread's sessions (Connection::Worker::connectTo and its
// parts): the addresses in order, each attempt with this policy, and the session pinned once it is in.
#include "database/ConnectionString.h"
#include "util/Status.h"

#include <QByteArray>
#include <QString>

#include <functional>

#include <mysql.h>

qint64 monotonicMs();

// What a session's settings ask of its transport.
struct TransportPolicy {
    bool verify = false;     // the certificate is checked against the CA and the host name
    bool requireTls = false; // no account leaves the process outside TLS
    bool offerTls = true;    // TLS asked for, used whenever the server offers it
    QByteArray methods;      // the login methods allowed (the library's restricted_auth list)
    QByteArray ca;           // file names, in the file system's encoding
    QByteArray serverKey;
};
// - no TLS settings: TLS whenever offered; challenge-response methods only (mysql_native_password,
//   client_ed25519), which never give the peer the password;
// - dbTls = required: the same methods, TLS refused to be done without;
// - a server public key (dbServerKey) without a CA: also caching_sha2_password and sha256_password,
//   which then encrypt the password with that key, so only its holder reads it. The client library
//   sends them the password in clear inside any TLS session instead, verified or not: so TLS is not
//   asked for then, unless required, and with TLS required (no CA) those two stay refused;
// - a CA (dbTlsCa): TLS required and verified, and every method, the clear-text ones (mysql_clear_password,
//   PAM's dialog) included, since the password then reaches only the verified server.
TransportPolicy transportPolicy(const ConnectionParams& p);

// Bounds a wait: until `atMs` (monotonic); `wakeFd` (-1 for none) ends it early when readable, after
// which `stop` tells whether to give up.
struct Deadline {
    qint64 atMs = 0;
    int wakeFd = -1;
    std::function<bool()> stop;
};

// The TLS handshake of our own with the server at `address` (its greeting read, TLS asked for, nothing of
// the account sent), for a policy that requires TLS: the certificate verified against the CA and
// `hostName` when the policy verifies. Gives the certificate's SHA-1 fingerprint for configureSession.
// Errors: an address that does not answer (CR_CONN_HOST_ERROR, or a time-out), a cancel (cancelled set),
// a refusal already in the user's terms (CR_SSL_CONNECTION_ERROR), or the server's own greeting error.
Result<QByteArray> probeCertificate(const TransportPolicy& policy, const ConnectionParams& p,
                                    const QByteArray& address, const QString& hostName,
                                    const Deadline& deadline);

// The handle's options: non-blocking API, TCP, utf8mb4, time-outs, no local files, and the policy's TLS
// (pinned to `fingerprint`, when TLS is required), methods and key.
void configureSession(MYSQL* m, const TransportPolicy& policy, const QByteArray& fingerprint,
                      unsigned int readTimeoutSeconds, unsigned int connectTimeoutSeconds);

// A refusal by the client library for transport security in the user's terms, with what to do.
Error explainTransportRefusal(Error e, const ConnectionParams& p, const QString& hostName);

// A blocking read or write on `fd` gives up after `ms`: the client library makes the socket blocking for
// its TLS handshake, and a server that stops answering there would hold it for good.
void limitBlockingIo(int fd, qint64 ms);
// The client library leaves a TLS session's socket blocking after its handshake, so a read waits inside
// the library where no cancel, time-out or close reaches it; non-blocking, every read of the session
// yields to the connection's own wait, as on a session without TLS.
void setNonBlocking(int fd);

// Ends a statement of session `threadId` on the server at `address` from a short session of its own
// (KILL QUERY, or KILL CONNECTION for the whole session), which goes through the same checks as the
// session did, within `timeoutMs`. `params` is this call's own copy of the account: wiped here.
Status sendKill(ConnectionParams& params, const QByteArray& address, unsigned long threadId,
                bool wholeSession, qint64 timeoutMs);
