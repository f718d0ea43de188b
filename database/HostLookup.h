#pragma once
// Turns a server's host name into the addresses a connection tries, in order. Connections call it on
// their own thread, so a slow name service holds up only that connection, never the window.
#include <QString>
#include <QStringList>

class HostLookup {
public:
    virtual ~HostLookup() = default;
    // Numeric addresses for `host`, best first; empty with `error` set when the name cannot be resolved.
    // Called on a connection's thread: implementations must be safe to call from any thread.
    virtual QStringList resolve(const QString& host, QString* error) = 0;
};

// The system's resolver (getaddrinfo) unless a test installed another (not owned; nullptr restores it).
HostLookup& hostLookup();
void setHostLookup(HostLookup* lookup);
