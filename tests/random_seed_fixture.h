// The host random forms reseed the system generator with the wall-clock second:
// a call that starts and ends within one second drew from srand(that second).
#pragma once
#include <ctime>

// Runs f until one run starts and ends in the same second; returns that second.
template <class F>
time_t run_within_one_second(F f) {
    for (;;) {
        const time_t start = time(nullptr);
        f();
        if (time(nullptr) == start) return start;
    }
}
