#pragma once
// Whether the object a coroutine belongs to still exists after a co_await: the object holds a
// Lifetime, the coroutine takes a watch() before the wait and asks it afterwards. For objects that are
// no QObject (or whose QPointer would be cleared too late, in a base's destructor).
#include <memory>

class Lifetime {
public:
    class Watch {
    public:
        bool expired() const { return token_.expired(); }

    private:
        friend class Lifetime;
        explicit Watch(std::weak_ptr<const bool> token) : token_(std::move(token)) {}
        std::weak_ptr<const bool> token_;
    };

    Lifetime() = default;
    // A copy is another object: it has a life of its own, never the original's.
    Lifetime(const Lifetime&) : Lifetime() {}
    Lifetime& operator=(const Lifetime&) { return *this; }

    Watch watch() const { return Watch(token_); }

private:
    std::shared_ptr<const bool> token_ = std::make_shared<const bool>(true);
};
