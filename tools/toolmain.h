// The manners the publisher's tools share: "TOOL COMMAND ARGUMENTS...";
// --help (or -h), alone or after a command, prints the usage on standard
// output and succeeds; wrong arguments print it on standard error and end
// with exit code 2.
#pragma once

#include <cstdio>
#include <cstring>
#include <functional>
#include <initializer_list>

namespace toolmain {

struct Command {
    const char *name;
    const char *usage;
    int arguments; // after the command's name
    std::function<int(char **arguments)> run;
};

inline bool isHelp(const char *argument) {
    return std::strcmp(argument, "--help") == 0 || std::strcmp(argument, "-h") == 0;
}

// What main returns: the command's own result, or 0 or 2 as above.
inline int run(int argc, char **argv, const char *generalUsage,
               std::initializer_list<Command> commands) {
    if (argc == 2 && isHelp(argv[1])) {
        std::fputs(generalUsage, stdout);
        return 0;
    }
    for (const Command &command : commands) {
        if (argc < 2 || std::strcmp(argv[1], command.name) != 0)
            continue;
        if (argc == 3 && isHelp(argv[2])) {
            std::fputs(command.usage, stdout);
            return 0;
        }
        if (argc != command.arguments + 2) {
            std::fputs(command.usage, stderr);
            return 2;
        }
        return command.run(argv + 2);
    }
    std::fputs(generalUsage, stderr);
    return 2;
}

} // namespace toolmain
