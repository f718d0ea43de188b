#include "database/HostLookup.h"

#include <atomic>

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

namespace {

class SystemLookup final : public HostLookup {
public:
    Result<QStringList> resolve(const QString& host) override {
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* found = nullptr;
        const int rc = getaddrinfo(host.toUtf8().constData(), nullptr, &hints, &found);
        if (rc != 0)
            return Status::failure(QString::fromLocal8Bit(gai_strerror(rc)));
        QStringList out;
        for (const addrinfo* a = found; a; a = a->ai_next) {
            char text[INET6_ADDRSTRLEN] = {};
            const void* where =
                a->ai_family == AF_INET6
                    ? static_cast<const void*>(&reinterpret_cast<sockaddr_in6*>(a->ai_addr)->sin6_addr)
                    : static_cast<const void*>(&reinterpret_cast<sockaddr_in*>(a->ai_addr)->sin_addr);
            if ((a->ai_family == AF_INET || a->ai_family == AF_INET6) &&
                inet_ntop(a->ai_family, where, text, sizeof text)) {
                const QString address = QString::fromLatin1(text);
                if (!out.contains(address))
                    out << address;
            }
        }
        freeaddrinfo(found);
        if (out.isEmpty())
            return Status::failure(QStringLiteral("no address"));
        return out;
    }
};

SystemLookup g_system;
std::atomic<HostLookup*> g_lookup{nullptr};

} // namespace

HostLookup& hostLookup() {
    HostLookup* l = g_lookup.load();
    return l ? *l : g_system;
}

void setHostLookup(HostLookup* lookup) {
    g_lookup.store(lookup);
}
