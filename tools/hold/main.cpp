// hold file PATH [SECONDS] | hold mutex NAME [SECONDS]
//
// Makes a file "in use" (opened without sharing) or holds a named mutex, the
// way another program on the machine would, for tests and experiments. It
// prints "held" once it holds, and lets go on SIGTERM or after SECONDS
// (default 60).
#include "platform.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

volatile std::sig_atomic_t stopRequested = 0;

void requestStop(int) {
    stopRequested = 1;
}

int usage() {
    std::fprintf(stderr, "usage: hold file PATH [SECONDS] | hold mutex NAME [SECONDS]\n");
    return 2;
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 3 || argc > 4)
        return usage();
    const std::string what = argv[1];
    const int seconds = argc == 4 ? std::atoi(argv[3]) : 60;
    std::signal(SIGTERM, requestStop);
    std::signal(SIGINT, requestStop);

    platform::FileHandle file = nullptr;
    platform::MutexHandle mutex = nullptr;
    if (what == "file") {
        file = platform::openFileA(argv[2], platform::FileAccess::Read, platform::FileShare::None,
                                   platform::FileDisposition::OpenExisting);
        if (!file) {
            std::fprintf(stderr, "hold: cannot hold %s (error %u)\n", argv[2],
                         platform::lastError());
            return 1;
        }
    } else if (what == "mutex") {
        mutex = platform::createMutex(argv[2]);
        if (!mutex || platform::lastError() != 0) {
            std::fprintf(stderr, "hold: mutex %s is taken (error %u)\n", argv[2],
                         platform::lastError());
            return 1;
        }
    } else {
        return usage();
    }
    std::printf("held\n");
    std::fflush(stdout);

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!stopRequested && std::chrono::steady_clock::now() < deadline)
        platform::sleepMs(50);

    if (file)
        platform::closeFile(file);
    if (mutex) {
        platform::releaseMutex(mutex);
        platform::closeMutex(mutex);
    }
    return 0;
}
