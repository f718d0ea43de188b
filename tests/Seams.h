#pragma once
// Puts a test's stand-in in place of one of the program's seams (message boxes, desktop, forms, login
// prompt, secret store, clock, name service) for as long as the guard lives, and what was there before
// back afterwards (the real one, or an outer guard's stand-in), whatever the test did in between. A
// member guard holds for the whole test object; a local one swaps the seam for a scope of one test.
#include <cstddef>

template <class Seam> class ScopedSeam {
public:
    ScopedSeam(void (*install)(Seam*), Seam* standIn) : install_(install), previous_(current()) {
        install_(current() = standIn);
    }
    ~ScopedSeam() { install_(current() = previous_); }
    ScopedSeam(const ScopedSeam&) = delete;
    ScopedSeam& operator=(const ScopedSeam&) = delete;

private:
    // What the guards of this seam have put in place; null for the real one.
    static Seam*& current() {
        static Seam* installed = nullptr;
        return installed;
    }
    void (*install_)(Seam*);
    Seam* previous_;
};

// A local guard names its seam through the installer: ScopedSeam seam(setAppClock, &clock).
template <class Seam, class StandIn> ScopedSeam(void (*)(Seam*), StandIn*) -> ScopedSeam<Seam>;
template <class Seam> ScopedSeam(void (*)(Seam*), std::nullptr_t) -> ScopedSeam<Seam>;
