// standin-cmd BATCHFILE: runs a batch file the way cmd.exe would run the
// lines the system writes (see batch.h).
#include "batch.h"

#include <fstream>
#include <iostream>
#include <iterator>
#include <string>

int main(int argc, char **argv) {
    if (argc != 2) {
        std::cerr << "usage: standin-cmd BATCHFILE\n";
        return 2;
    }
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
