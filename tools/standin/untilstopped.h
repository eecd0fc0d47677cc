// The stand-ins that hold something as another program would (a file, a
// mutex, the client's guard) let go when told: SIGTERM or SIGINT, or the end
// of the time they were given.
#pragma once

#include "platform.h"

#include <chrono>
#include <csignal>

namespace untilstopped {

inline volatile std::sig_atomic_t stopRequested = 0;

inline void requestStop(int) {
    stopRequested = 1;
}

// Before the holding starts: a stop asked for while it starts still counts.
inline void catchStop() {
    std::signal(SIGTERM, requestStop);
    std::signal(SIGINT, requestStop);
}

inline void wait(int seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!stopRequested && std::chrono::steady_clock::now() < deadline)
        platform::sleepMs(50);
}

} // namespace untilstopped
