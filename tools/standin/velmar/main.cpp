// velmar [SECONDS]: the client stand-in. While it runs it holds the client
// guard mutex and (like every program) keeps its own file in use. When it
// starts it appends a line with its process id to "velmar.started" beside
// itself. It ends on SIGTERM or after SECONDS (default 60).
#include "../untilstopped.h"
#include "platform.h"
#include "toolmain.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <unistd.h>

namespace {

const char usageText[] =
    "usage: velmar [SECONDS]\n"
    "The client stand-in: holds the client's guard and keeps its own file in use\n"
    "until SIGTERM or SECONDS (default 60), and appends its process id to\n"
    "velmar.started beside itself when it starts.\n";

std::string folderOf(const std::string &path) {
    const auto separator = path.find_last_of("/\\");
    return separator == std::string::npos ? "." : path.substr(0, separator);
}

int run(int argc, char **argv) {
    if (argc > 2)
        return toolmain::usageError(usageText);
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 60;
    untilstopped::catchStop();

    const platform::Mutex guard("{AB49C45E-B7A8-4359-8429-51B65B55718C}");
    const bool owner = guard.owned();

    {
        // The program path is UTF-8; a plain char path would be read in the
        // ANSI code page on Windows.
        std::ofstream started(
            std::filesystem::u8path(folderOf(platform::programFilePath()) + "/velmar.started"),
            std::ios::app);
        started << getpid() << (owner ? "" : " guard-taken") << "\n";
    }

    untilstopped::wait(seconds);
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    return toolmain::single(argc, argv, usageText, run);
}
