// standin-cmd BATCHFILE: runs a batch file the way cmd.exe would run the
// lines the system writes (see batch.h).
#include "batch.h"
#include "toolmain.h"

#include <fstream>
#include <iostream>
#include <iterator>
#include <string>

namespace {

const char usageText[] =
    "usage: standin-cmd BATCHFILE\n"
    "Runs the batch file BATCHFILE as cmd.exe runs the lines the maintenance tools\n"
    "write: del, rd and ping; anything else is ignored.\n";

int run(int argc, char **argv) {
    if (argc != 2 || std::string(argv[1]).rfind("--", 0) == 0)
        return toolmain::usageError(usageText);
    std::ifstream file(argv[1], std::ios::binary);
    if (!file) {
        std::cerr << "standin-cmd: cannot read " << argv[1] << "\n";
        return 1;
    }
    // cmd.exe reads a batch file as it goes, so a file that deletes itself
    // still runs to its end; reading it whole first gives the same result.
    const std::string content{std::istreambuf_iterator<char>(file),
                              std::istreambuf_iterator<char>()};
    for (const auto &line : batch::splitLines(content))
        batch::run(batch::parse(batch::expandPercents(line)));
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    return toolmain::single(argc, argv, usageText, run);
}
