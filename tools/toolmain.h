// The manners every tool of the project shares: --help (or -h), alone or
// after a command, prints the usage on standard output and succeeds; wrong
// arguments print it on standard error and end with exit code 2. Tools of
// several commands ("TOOL COMMAND ARGUMENTS...") go through run, tools of
// one through single.
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

// What a tool returns for wrong arguments.
inline int usageError(const char *usage) {
    std::fputs(usage, stderr);
    return 2;
}

// A tool of one command: the usage for --help alone, else what run makes
// of the arguments (answering wrong ones with usageError).
inline int single(int argc, char **argv, const char *usage,
                  const std::function<int(int argc, char **argv)> &run) {
    if (argc == 2 && isHelp(argv[1])) {
        std::fputs(usage, stdout);
        return 0;
    }
    return run(argc, argv);
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
        if (argc != command.arguments + 2)
            return usageError(command.usage);
        return command.run(argv + 2);
    }
    return usageError(generalUsage);
}

} // namespace toolmain
