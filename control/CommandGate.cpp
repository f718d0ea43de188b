#include "control/CommandGate.h"

#include "control/StatusLine.h"

CommandGate::Pass::Pass(CommandGate* gate, Kind kind, quint64 serial, std::shared_ptr<Cancellation> cancel)
    : gate_(gate), alive_(gate->lifetime_.watch()), kind_(kind), serial_(serial), cancel_(std::move(cancel)) {
}

CommandGate::Pass::Pass(Pass&& other) noexcept
    : gate_(std::exchange(other.gate_, nullptr)), alive_(std::move(other.alive_)), kind_(other.kind_),
      serial_(other.serial_), cancel_(std::move(other.cancel_)) {}

CommandGate::Pass::~Pass() {
    if (CommandGate* g = gate())
        g->leave(kind_, serial_);
}

bool CommandGate::Pass::superseded() const {
    const CommandGate* g = gate();
    return cancel_->isCancelled() || !g || g->slot(kind_).serial != serial_;
}

CommandGate::Slot& CommandGate::slot(Kind kind) {
    return kind == Kind::Load ? load_ : kind == Kind::Command ? command_ : look_;
}

const CommandGate::Slot& CommandGate::slot(Kind kind) const {
    return kind == Kind::Load ? load_ : kind == Kind::Command ? command_ : look_;
}

std::optional<CommandGate::Pass> CommandGate::enter(Kind kind, const QString& what) {
    const auto refuse = [this](const QString& running) -> std::optional<Pass> {
        status_.ShowStatus(QStringLiteral("请稍候：“%1”还没有完成").arg(running));
        return std::nullopt;
    };
    switch (kind) {
    case Kind::Load:
        if (busy(Kind::Command))
            return refuse(command_.what);
        // The record a look is fetching belongs to the list the load is about to replace.
        if (look_.cancel)
            look_.cancel->cancel();
        look_ = Slot();
        break;
    case Kind::Command:
        if (busy(Kind::Command))
            return refuse(command_.what);
        if (busy(Kind::Load))
            return refuse(load_.what);
        break;
    case Kind::Look:
        break;
    }
    Slot& s = slot(kind);
    if (s.cancel)
        s.cancel->cancel(); // the one it supersedes: ended on the server, its rows left unread
    s.serial = ++nextSerial_;
    s.what = what;
    s.cancel = std::make_shared<Cancellation>();
    return Pass(this, kind, s.serial, s.cancel);
}

void CommandGate::cancelLoadsAndLooks() {
    for (Slot* s : {&load_, &look_}) {
        if (s->cancel)
            s->cancel->cancel();
        *s = Slot();
    }
}

void CommandGate::leave(Kind kind, quint64 serial) {
    Slot& s = slot(kind);
    if (s.serial == serial)
        s = Slot();
}
