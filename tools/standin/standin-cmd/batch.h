// The command interpreter of the stand-in machine: it runs the batch files
// the system writes, and nothing more. It knows three commands,
//   del "P" /q /f        delete a file (/f: read-only ones too); given a
//                        folder, the files directly inside it
//   rd "P" /q /s         remove a folder (/s: with everything in it); given
//                        a link, only the link
//   ping -n N 127.0.0.1  wait N - 1 seconds (what the batch files use it for)
// expands "%" the way cmd.exe does in a batch file ("%%" is one "%",
// "%NAME%" an environment variable, a lone "%" vanishes), accepts CR LF or LF
// line ends and skips every other line. Files in use stay, as with cmd.exe.
#pragma once

#include <string>
#include <vector>

namespace batch {

struct Command {
    enum class Kind { Delete, RemoveFolder, Wait, Ignored };
    Kind kind = Kind::Ignored;
    std::string path;
    bool force = false;   // del /f
    bool subtree = false; // rd /s
    int seconds = 0;      // ping -n N waits N - 1 seconds
};

// Expands one line's "%" sequences as cmd.exe does in a batch file.
std::string expandPercents(const std::string &line);

// Parses one expanded line.
Command parse(const std::string &line);

// Splits a batch file's content into lines (CR LF or LF).
std::vector<std::string> splitLines(const std::string &content);

// Runs one command; failures are silent, as in a hidden batch run.
void run(const Command &command);

} // namespace batch
