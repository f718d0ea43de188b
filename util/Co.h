#pragma once
// The task every coroutine of the program returns: QCoro's own task, marked [[nodiscard]]. A coroutine
// called without co_await runs on detached, and GCC says nothing about a dropped QCoro::Task; a dropped
// Co<T> is an error (-Werror=unused-result). Await it, or hand it to Handlers::start. (GCC does not
// report a [[nodiscard]] result dropped by `co_await f();`: bind it.)
//
// The rules that keep a coroutine safe, each one met in the building of this one:
// 1. It suspends only on a Connection operation, an await:: awaitable or a seam's Co: each resumes it
//    exactly once, also when what it waits on is destroyed (then with a cancelled error, nothing or false).
// 2. The first statement after every co_await checks a local (the status, a QPointer, a weak hold)
//    before anything touches `this`: the owner may have been destroyed meanwhile.
// 3. Cancelled or gone means: touch nothing, show nothing, return.
// 4. Parameters by value: a reference parameter of a stored task dangles once the call has ended.
// 5. No capturing lambda as a coroutine (its captures die with the closure at the first suspension):
//    a free or static function, or a lambda without captures, with by-value parameters.
// 6. No range-for over a member of a co_await's result: bind the result to a local first.
// 7. Awaiters are movable (GCC moves a prvalue awaitable into the frame) and never moved once suspended.
// 8. Destructors never wait.
// 9. No braced temporary ({id}, an aggregate {a, b}) among a co_await'ed call's arguments, and no
//    co_await inside if-init, || or ?:: GCC 12 rejects some and destroys others twice. Bind to a local.
#include <QCoroTask>

#include <coroutine>
#include <utility>

template <class T = void> class [[nodiscard]] Co : public QCoro::Task<T> {
public:
    Co(QCoro::Task<T>&& task) noexcept : QCoro::Task<T>(std::move(task)) {}
};

// A function returning Co<T> is a coroutine with QCoro's own promise.
template <class T, class... Args> struct std::coroutine_traits<Co<T>, Args...> {
    using promise_type = QCoro::detail::TaskPromise<T>;
};
