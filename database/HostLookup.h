#pragma once
// Turns a server's host name into the addresses a connection tries, in order. Connections call it on
// their own thread, so a slow name service holds up only that connection, never the window.
#include "util/Status.h"

#include <QString>
#include <QStringList>

class HostLookup {
public:
    virtual ~HostLookup() = default;
    // Numeric addresses for `host`, best first, at least one; an error saying why when the name cannot be
    // resolved. Called on a connection's thread: implementations must be safe to call from any thread.
    virtual Result<QStringList> resolve(const QString& host) = 0;
};

// The system's resolver (getaddrinfo) unless a test installed another (not owned; nullptr restores it).
HostLookup& hostLookup();
void setHostLookup(HostLookup* lookup);
