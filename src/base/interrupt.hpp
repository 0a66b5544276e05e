// Letting the caller stop a long operation.
#pragma once

namespace ondrel {

// A hook that long operations (reading and writing files) call between blocks of about 1 MiB of
// work and after a system call was interrupted by a signal. It returns normally to let the
// operation go on, or throws to stop it; the exception then leaves the operation as any failure
// does (a writer keeps its partly written file, the reader returns nothing). nullptr: never
// stop.
using InterruptCheck = void (*)();

inline void check_interrupt(InterruptCheck check) {
    if (check != nullptr) check();
}

}  // namespace ondrel
