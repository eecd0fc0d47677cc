// hold file PATH [SECONDS] | hold read PATH [SECONDS] | hold mutex NAME [SECONDS]
//
// Makes a file "in use" (opened without sharing, or read while sharing only
// reading: others may read it too, but not change or delete it) or holds a
// named mutex, the way another program on the machine would, for tests and
// experiments. It
// prints "held" once it holds, and lets go on SIGTERM or after SECONDS
// (default 60).
#include "../untilstopped.h"
#include "platform.h"
#include "toolmain.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const char usageText[] =
    "usage: hold file PATH [SECONDS] | hold read PATH [SECONDS] | hold mutex NAME [SECONDS]\n"
    "Keeps the file PATH open without sharing (file) or reading it while sharing\n"
    "only reading (read), or holds the named mutex NAME, as another program would;\n"
    "prints \"held\" once it does and lets go on SIGTERM or after SECONDS\n"
    "(default 60).\n";

// A whole number of seconds, digits only: atoi would read "1O" as 1.
bool parseSeconds(const char *text, int &seconds) {
    const std::size_t length = std::strlen(text);
    if (length == 0 || length > 6 || std::strspn(text, "0123456789") != length)
        return false;
    seconds = std::atoi(text);
    return true;
}

int hold(int argc, char **argv) {
    if (argc < 3 || argc > 4)
        return toolmain::usageError(usageText);
    const std::string what = argv[1];
    int seconds = 60;
    if (what != "file" && what != "read" && what != "mutex")
        return toolmain::usageError(usageText);
    if (argc == 4 && !parseSeconds(argv[3], seconds))
        return toolmain::usageError(usageText);
    untilstopped::catchStop();

    platform::File file;
    platform::Mutex mutex;
    if (what != "mutex") {
        file.reset(platform::openFileA(argv[2], platform::FileAccess::Read,
                                       what == "read" ? platform::FileShare::Read
                                                      : platform::FileShare::None,
                                       platform::FileDisposition::OpenExisting));
        if (!file) {
            std::fprintf(stderr, "hold: cannot hold %s (error %u)\n", argv[2],
                         platform::lastError());
            return 1;
        }
    } else {
        mutex = platform::Mutex(argv[2]);
        if (!mutex.owned()) {
            std::fprintf(stderr, "hold: mutex %s is taken (error %u)\n", argv[2],
                         platform::lastError());
            return 1;
        }
    }
    std::printf("held\n");
    std::fflush(stdout);

    untilstopped::wait(seconds);
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    return toolmain::single(argc, argv, usageText, hold);
}
