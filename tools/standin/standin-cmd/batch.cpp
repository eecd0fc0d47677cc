#include "batch.h"

#include "platform.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <string>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

namespace batch {

std::string expandPercents(const std::string &line) {
    std::string out;
    std::size_t i = 0;
    while (i < line.size()) {
        if (line[i] != '%') {
            out += line[i++];
            continue;
        }
        if (i + 1 < line.size() && line[i + 1] == '%') {
            out += '%';
            i += 2;
            continue;
        }
        const auto close = line.find('%', i + 1);
        if (close == std::string::npos) {
            ++i; // a lone "%" vanishes
            continue;
        }
        const std::string name = line.substr(i + 1, close - i - 1);
        if (const char *value = std::getenv(name.c_str()))
            out += value;
        i = close + 1;
    }
    return out;
}

namespace {

std::string lowered(std::string text) {
    for (auto &c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

struct Word {
    std::string text;
    bool quoted; // a quoted word is never a switch
};

// Splits a command line into words; a double-quoted part is one word without
// its quotes. A ">..." redirection ends the command.
std::vector<Word> words(const std::string &line) {
    std::vector<Word> result;
    Word current{{}, false};
    bool inQuotes = false, inWord = false;
    for (char c : line) {
        if (c == '"') {
            inQuotes = !inQuotes;
            current.quoted = inWord = true;
            continue;
        }
        if (!inQuotes && c == '>')
            break;
        if (!inQuotes && (c == ' ' || c == '\t')) {
            if (inWord)
                result.push_back(current);
            current = Word{{}, false};
            inWord = false;
            continue;
        }
        current.text += c;
        inWord = true;
    }
    if (inWord)
        result.push_back(current);
    return result;
}

bool isSwitch(const Word &word) {
    return !word.quoted && !word.text.empty() && word.text[0] == '/';
}

void makeWritable(const std::string &path) {
    struct stat st;
    if (::lstat(path.c_str(), &st) == 0 && !S_ISLNK(st.st_mode))
        ::chmod(path.c_str(), st.st_mode | S_IWUSR);
}

bool namesFolder(const std::string &path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Deletes one file, or a link itself; never descends.
void deleteOne(const std::string &path, const struct stat &st, bool force) {
    const bool readOnly = !S_ISLNK(st.st_mode) && (st.st_mode & S_IWUSR) == 0;
    if (readOnly && !force)
        return;
    if (readOnly)
        makeWritable(path);
    if (!platform::deleteFile(path) && readOnly)
        ::chmod(path.c_str(), st.st_mode); // still there: as it was
}

// cmd.exe's del given a folder, or a link to one, deletes the files directly
// inside it (hidden ones stay), never the folder or its sub-folders.
void deleteFilesIn(const std::string &folder, bool force) {
    DIR *listing = ::opendir(folder.c_str());
    if (!listing)
        return;
    while (const dirent *entry = ::readdir(listing)) {
        const std::string name = entry->d_name;
        if (name.empty() || name[0] == '.')
            continue;
        const std::string path = folder + "/" + name;
        struct stat st;
        if (::lstat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode) && !namesFolder(path))
            deleteOne(path, st, force);
    }
    ::closedir(listing);
}

void deleteFile(const std::string &path, bool force) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0)
        return;
    if (S_ISDIR(st.st_mode) || (S_ISLNK(st.st_mode) && namesFolder(path)))
        deleteFilesIn(path, force);
    else
        deleteOne(path, st, force);
}

void removeTree(const std::string &folder) {
    if (DIR *listing = ::opendir(folder.c_str())) {
        while (const dirent *entry = ::readdir(listing)) {
            const std::string name = entry->d_name;
            if (name == "." || name == "..")
                continue;
            const std::string path = folder + "/" + name;
            struct stat st;
            if (::lstat(path.c_str(), &st) != 0)
                continue;
            if (S_ISDIR(st.st_mode))
                removeTree(path);
            else
                deleteOne(path, st, true);
        }
        ::closedir(listing);
    }
    ::rmdir(folder.c_str()); // fails, as it should, while something stayed
}

// rd given a link (a junction on Windows) removes the link, with or without
// /s: what it points to is not the folder named.
void removeFolder(const std::string &folder, bool subtree) {
    struct stat st;
    if (::lstat(folder.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
        ::unlink(folder.c_str());
    else if (subtree)
        removeTree(folder);
    else
        ::rmdir(folder.c_str());
}

std::string unixPath(std::string path) {
    for (auto &c : path)
        if (c == '\\')
            c = '/';
    return path;
}

} // namespace

Command parse(const std::string &line) {
    Command command;
    const auto parts = words(line);
    if (parts.empty())
        return command;
    const std::string verb = lowered(parts[0].text);
    std::vector<std::string> operands, switches;
    for (std::size_t i = 1; i < parts.size(); ++i) {
        if (isSwitch(parts[i]))
            switches.push_back(lowered(parts[i].text));
        else
            operands.push_back(parts[i].text);
    }
    auto has = [&](const char *flag) {
        return std::find(switches.begin(), switches.end(), flag) != switches.end();
    };
    if ((verb == "del" || verb == "erase") && operands.size() == 1) {
        command.kind = Command::Kind::Delete;
        command.path = unixPath(operands[0]);
        command.force = has("/f");
    } else if ((verb == "rd" || verb == "rmdir") && operands.size() == 1) {
        command.kind = Command::Kind::RemoveFolder;
        command.path = unixPath(operands[0]);
        command.subtree = has("/s");
    } else if (verb == "ping") {
        for (std::size_t i = 1; i + 1 < operands.size(); ++i)
            if (lowered(operands[i - 1]) == "-n")
                command.seconds = std::max(0, std::atoi(operands[i].c_str()) - 1);
        command.kind = Command::Kind::Wait;
    }
    return command;
}

std::vector<std::string> splitLines(const std::string &content) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < content.size()) {
        auto end = content.find('\n', start);
        if (end == std::string::npos)
            end = content.size();
        std::string line = content.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

void run(const Command &command) {
    switch (command.kind) {
    case Command::Kind::Delete:
        deleteFile(command.path, command.force);
        break;
    case Command::Kind::RemoveFolder:
        removeFolder(command.path, command.subtree);
        break;
    case Command::Kind::Wait:
        // The real wait, even in tests: it is what lets the starter end first.
        ::sleep(static_cast<unsigned>(command.seconds));
        break;
    case Command::Kind::Ignored:
        break;
    }
}

} // namespace batch
