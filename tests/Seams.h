#pragma once
// Puts a test's stand-in in place of one of the program's seams (message boxes, desktop, forms, login
// prompt, secret store, clock, name service) for as long as the guard lives, and the real one back
// afterwards, whatever the test did in between.
template <class Seam> class ScopedSeam {
public:
    ScopedSeam(void (*install)(Seam*), Seam* standIn) : install_(install) { install_(standIn); }
    ~ScopedSeam() { install_(nullptr); }
    ScopedSeam(const ScopedSeam&) = delete;
    ScopedSeam& operator=(const ScopedSeam&) = delete;

private:
    void (*install_)(Seam*);
};
