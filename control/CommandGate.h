#pragma once
// The one rule for what may start while something else waits on the server. Every wait is a co_await
// at which any other handler may run, so every entry point of the control that touches the server,
// the result list or a shared form passes this gate first:
//
// - a load (a search, a test-panel listing) supersedes the load and the look that are running: they
//   are ended on the server and give up at their next step; a load is refused while a command runs;
// - a command (add, modify, delete, the two exports, the connection test) runs alone: it is refused
//   while another command or a load runs;
// - a look (the viewer reading the clicked record) supersedes the previous look and runs beside a
//   load that is listing its rows and beside commands, since it only reads;
// - re-login cancels every load and look (commands finish what they sent; the connection is closed
//   under them).
//
// Refused means not started: the gate tells the user on the status line what is running. Nothing is
// queued, so a handler never waits for another one below it on the stack.
#include "database/Connection.h"
#include "util/Lifetime.h"

#include <QString>

#include <memory>

class StatusLine;
#include <optional>

class CommandGate {
public:
    enum class Kind { Load, Command, Look };

    // Held by the handler for as long as it runs; leaving the handler lets the gate go. A handler's
    // coroutine may outlive the gate (the control destroyed while it waited): the pass then reads as
    // superseded and lets nothing go.
    class Pass {
    public:
        Pass(Pass&& other) noexcept;
        Pass& operator=(Pass&&) = delete;
        ~Pass();
        // A newer load or look has taken over, or re-login cancelled this one: stop, and touch
        // nothing the newer one owns.
        bool superseded() const;
        // Hands the server statements of this pass the means to be ended when it is superseded.
        const std::shared_ptr<Cancellation>& cancellation() const { return cancel_; }

    private:
        friend class CommandGate;
        Pass(CommandGate* gate, Kind kind, quint64 serial, std::shared_ptr<Cancellation> cancel);
        CommandGate* gate() const { return alive_.expired() ? nullptr : gate_; }
        CommandGate* gate_;
        Lifetime::Watch alive_;
        Kind kind_;
        quint64 serial_;
        std::shared_ptr<Cancellation> cancel_;
    };

    explicit CommandGate(StatusLine& status) : status_(status) {}
    CommandGate(const CommandGate&) = delete;
    CommandGate& operator=(const CommandGate&) = delete;

    // A pass for `what` (the command's caption), or nothing when refused, the status line then
    // saying what runs instead.
    std::optional<Pass> enter(Kind kind, const QString& what);

    // Ends every load and look now running (their statements on the server included).
    void cancelLoadsAndLooks();

    bool busy(Kind kind) const { return slot(kind).serial != 0; }

private:
    struct Slot {
        quint64 serial = 0; // 0: free
        QString what;
        std::shared_ptr<Cancellation> cancel;
    };
    Slot& slot(Kind kind);
    const Slot& slot(Kind kind) const;
    void leave(Kind kind, quint64 serial);

    StatusLine& status_;
    Slot load_;
    Slot command_;
    Slot look_;
    quint64 nextSerial_ = 0;
    Lifetime lifetime_;
};
