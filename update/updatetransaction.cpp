#include "updatetransaction.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <set>

namespace {

const char journalMagic[] = "velmar update journal 1";
const char stateApply[] = "apply";
const char stateReseat[] = "reseat";

bool isSeparator(char c) {
    return c == '/' || c == '\\';
}

std::string withoutTrailingSeparators(std::string name) {
    while (!name.empty() && isSeparator(name.back()))
        name.pop_back();
    return name;
}

std::string join(const std::string &folder, const std::string &name) {
    return folder + "/" + name;
}

std::string lowerAscii(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

} // namespace

const char UpdateTransaction::journalName[] = "~velmar-update.journal";
const char UpdateTransaction::stagingName[] = "~velmar-update.new";
const char UpdateTransaction::backupName[] = "~velmar-update.old";

const TransactionCalls &systemTransactionCalls() {
    static const TransactionCalls calls{
        platform::moveFileA,        platform::commitFileA,      platform::openFileA,
        platform::readFile,         platform::writeFile,        platform::flushFile,
        platform::closeFile,        platform::createDirectoryA, platform::removeDirectoryA,
        platform::removeTreeA,      platform::deleteFileA,      platform::fileAttributesA,
        platform::removeAtRestartA,
    };
    return calls;
}

UpdateTransaction::UpdateTransaction(std::string journal, const TransactionCalls &calls)
    : journal_(std::move(journal)), calls_(calls) {}

int UpdateTransaction::addRoot(const std::string &folder) {
    // One line of the journal holds the folder.
    if (folder.empty() || folder.find('\n') != std::string::npos) {
        platform::setLastError(platform::error::InvalidParameter);
        return -1;
    }
    roots_.push_back(withoutTrailingSeparators(folder));
    const std::string staging = stagingFolder(static_cast<int>(roots_.size()) - 1);
    // The journal names the root before its staging folder exists, so that
    // whatever a crash leaves in it is found by the next start.
    if (!writeJournal(stateApply) || !calls_.removeTree(staging.c_str()) ||
        !calls_.removeTree(join(roots_.back(), backupName).c_str()) ||
        !calls_.createDirectory(staging.c_str())) {
        roots_.pop_back();
        return -1;
    }
    return static_cast<int>(roots_.size()) - 1;
}

std::string UpdateTransaction::stagingFolder(int root) const {
    return join(roots_[root], stagingName);
}

int UpdateTransaction::plan(int root, const std::string &name, bool folder) {
    const std::string clean = withoutTrailingSeparators(name);
    const auto firstEnd = std::find_if(clean.begin(), clean.end(), isSeparator);
    const std::string first = lowerAscii(std::string(clean.begin(), firstEnd));
    if (clean.empty() || clean.find('\n') != std::string::npos || first == stagingName ||
        first == backupName || first == journalName) {
        platform::setLastError(platform::error::InvalidParameter);
        return -1;
    }
    planned_.push_back({root, clean, folder, {}});
    return static_cast<int>(planned_.size()) - 1;
}

bool UpdateTransaction::exists(const std::string &path) const {
    return calls_.fileAttributes(path.c_str()) != platform::attribute::Invalid;
}

bool UpdateTransaction::isFolder(const std::string &path) const {
    const uint32_t attributes = calls_.fileAttributes(path.c_str());
    return attributes != platform::attribute::Invalid &&
           (attributes & platform::attribute::Directory) != 0;
}

std::string UpdateTransaction::target(const Step &step) const {
    return join(roots_[step.root], step.name);
}

std::string UpdateTransaction::staged(const Step &step) const {
    return join(stagingFolder(step.root), step.name);
}

std::string UpdateTransaction::backup(const Step &step) const {
    return join(join(roots_[step.root], backupName), step.name);
}

bool UpdateTransaction::begin() {
    if (begun_)
        return true;
    // Folders the plan makes: each is made (and undone) by one step, which
    // every entry inside it repeats, so that an entry can be put in place
    // even when the one that first needed the folder was not.
    std::map<std::pair<int, std::string>, std::size_t> made;
    // Folders that are there already: looked at once, not for every entry.
    std::set<std::pair<int, std::string>> there;
    for (auto &entry : planned_) {
        // Nothing can be in the way inside a folder that the plan makes.
        bool inNewFolder = false;
        std::size_t end = 0;
        for (;;) {
            end = entry.name.find_first_of("/\\", end);
            const bool last = end == std::string::npos;
            if (last && !entry.folder)
                break;
            const std::string name = entry.name.substr(0, end);
            const std::pair<int, std::string> key{entry.root, name};
            const auto known = made.find(key);
            if (known != made.end()) {
                entry.steps.push_back(known->second);
                inNewFolder = true;
            } else if (there.count(key) == 0) {
                const uint32_t attributes =
                    calls_.fileAttributes(join(roots_[entry.root], name).c_str());
                if (attributes == platform::attribute::Invalid) {
                    made[key] = steps_.size();
                    entry.steps.push_back(steps_.size());
                    steps_.push_back({true, entry.root, name, false, false});
                    inNewFolder = true;
                } else if ((attributes & platform::attribute::Directory) == 0) {
                    platform::setLastError(platform::error::AlreadyExists);
                    return false;
                } else if (attributes & platform::attribute::ReparsePoint) {
                    // A linked folder (a junction on Windows) leads outside
                    // the installation: nothing is moved into or out of it.
                    platform::setLastError(platform::error::StoppedOnSymlink);
                    return false;
                } else {
                    there.insert(key);
                }
            }
            if (last)
                break;
            ++end;
        }
        if (entry.folder)
            continue;
        const uint32_t attributes =
            inNewFolder ? platform::attribute::Invalid
                        : calls_.fileAttributes(join(roots_[entry.root], entry.name).c_str());
        const bool existed = attributes != platform::attribute::Invalid;
        if (existed && (attributes & platform::attribute::Directory)) {
            platform::setLastError(platform::error::AccessDenied);
            return false;
        }
        entry.steps.push_back(steps_.size());
        steps_.push_back({false, entry.root, entry.name, existed, false});
    }
    begun_ = writeJournal(stateApply);
    return begun_;
}

bool UpdateTransaction::ensureBackupFolders(const Step &step) {
    // Made once each: an update of thousands of files in a few folders
    // would otherwise look at the same folders again for every file.
    std::string folder = join(roots_[step.root], backupName);
    for (std::size_t end = 0; end != std::string::npos;
         end = step.name.find_first_of("/\\", end + 1)) {
        if (end > 0)
            folder = join(join(roots_[step.root], backupName), step.name.substr(0, end));
        if (backupFolders_.count(folder))
            continue;
        if (!isFolder(folder) && !calls_.createDirectory(folder.c_str()))
            return false;
        backupFolders_.insert(folder);
    }
    return true;
}

// Tries first and looks after a failure only: the common case (a new file,
// or an old one moved aside) costs one or two renames and no look.
bool UpdateTransaction::doStep(Step &step) {
    if (step.done)
        return true;
    const std::string path = target(step);
    if (step.folder) {
        step.done = isFolder(path) || calls_.createDirectory(path.c_str());
        return step.done;
    }
    const std::string aside = backup(step);
    bool movedAside = false;
    if (step.existed) {
        if (!ensureBackupFolders(step))
            return false;
        movedAside = calls_.moveFile(path.c_str(), aside.c_str());
        // A backup there already: the old file went aside before (an entry
        // of the same name, or a move back that failed).
        const uint32_t error = platform::lastError();
        if (!movedAside && !exists(aside)) {
            platform::setLastError(error);
            return false;
        }
    }
    const std::string stagedPath = staged(step);
    if (calls_.moveFile(stagedPath.c_str(), path.c_str())) {
        step.done = true;
        return true;
    }
    const uint32_t error = platform::lastError();
    // Moved in already when the staged file is gone (an entry of the same
    // name put it in place).
    if (!exists(stagedPath)) {
        step.done = true;
        return true;
    }
    // The old file goes back at once: whoever gives up on this entry and goes
    // on (a kept user.ini) finds it where it was.
    if (movedAside)
        calls_.moveFile(aside.c_str(), path.c_str());
    platform::setLastError(error);
    return false;
}

bool UpdateTransaction::install(int entry) {
    for (const std::size_t step : planned_[entry].steps) {
        if (!doStep(steps_[step]))
            return false;
    }
    return true;
}

// Where the files are tells what happened: a backup means the old file was
// moved aside; a target without its staged file means the new one was
// moved in.
bool UpdateTransaction::undoStep(const Step &step) {
    const std::string path = target(step);
    if (step.folder) {
        if (!isFolder(path))
            return true;
        return calls_.removeDirectory(path.c_str());
    }
    const std::string stagedPath = staged(step);
    const std::string aside = backup(step);
    if (step.existed && !exists(aside))
        return true; // the old file never moved
    if (exists(path) && !exists(stagedPath) && !calls_.moveFile(path.c_str(), stagedPath.c_str()))
        return false;
    return !step.existed || calls_.moveFile(aside.c_str(), path.c_str());
}

bool UpdateTransaction::removeWorkFolders() {
    bool removed = true;
    for (const auto &root : roots_) {
        removed = calls_.removeTree(join(root, stagingName).c_str()) && removed;
        removed = calls_.removeTree(join(root, backupName).c_str()) && removed;
    }
    return removed;
}

bool UpdateTransaction::commit() {
    if (!writeJournal(stateReseat))
        return false;
    if (!removeWorkFolders())
        removeBackupsAtRestart();
    return true;
}

void UpdateTransaction::removeBackupsAtRestart() {
    // Files first, then their folders, inner ones before outer ones: Windows
    // works through the requests in order and removes only empty folders.
    std::set<std::string> folders;
    for (const auto &step : steps_) {
        if (step.folder || !step.existed)
            continue;
        const std::string aside = backup(step);
        if (!exists(aside))
            continue;
        calls_.removeAtRestart(aside.c_str());
        const std::string base = join(roots_[step.root], backupName);
        folders.insert(base);
        for (std::size_t end = step.name.find_first_of("/\\"); end != std::string::npos;
             end = step.name.find_first_of("/\\", end + 1))
            folders.insert(join(base, step.name.substr(0, end)));
    }
    // A folder's path is longer than that of any folder around it.
    std::vector<std::string> innerFirst(folders.begin(), folders.end());
    std::stable_sort(
        innerFirst.begin(), innerFirst.end(),
        [](const std::string &a, const std::string &b) { return a.size() > b.size(); });
    for (const auto &folder : innerFirst) {
        if (isFolder(folder))
            calls_.removeAtRestart(folder.c_str());
    }
}

bool UpdateTransaction::rollback() {
    bool undone = true;
    for (auto step = steps_.rbegin(); step != steps_.rend(); ++step) {
        // Go on past a failure: every other file is still better off old.
        if (!undoStep(*step))
            undone = false;
    }
    if (!undone)
        return false;
    // The staged files are not needed any more; the journal goes last, once
    // nothing is left for the next start to undo.
    if (!removeWorkFolders())
        return false;
    return calls_.deleteFile(journal_.c_str()) ||
           platform::lastError() == platform::error::FileNotFound;
}

bool UpdateTransaction::writeJournal(const char *state) {
    std::string text = std::string(journalMagic) + "\n" + state + "\n";
    for (const auto &root : roots_)
        text += "root " + root + "\n";
    for (const auto &step : steps_) {
        text += step.folder ? "d " : "f ";
        text += std::to_string(step.root) + " " + (step.existed ? "1 " : "0 ") + step.name + "\n";
    }
    text += "end\n";

    // Written beside and then swapped in: a journal is whole or absent.
    const std::string fresh = journal_ + ".tmp";
    platform::FileHandle file =
        calls_.openFile(fresh.c_str(), platform::FileAccess::Write, platform::FileShare::None,
                        platform::FileDisposition::CreateAlways, 0);
    if (!file)
        return false;
    const bool written = calls_.writeFile(file, text.data(), static_cast<uint32_t>(text.size())) &&
                         calls_.flushFile(file);
    const uint32_t writeError = platform::lastError();
    calls_.closeFile(file);
    if (!written || !calls_.commitFile(fresh.c_str(), journal_.c_str())) {
        const uint32_t error = written ? platform::lastError() : writeError;
        calls_.deleteFile(fresh.c_str());
        platform::setLastError(error);
        return false;
    }
    return true;
}

bool UpdateTransaction::readJournal(std::string &state) {
    platform::FileHandle file =
        calls_.openFile(journal_.c_str(), platform::FileAccess::Read, platform::FileShare::Read,
                        platform::FileDisposition::OpenExisting, 0);
    if (!file)
        return false;
    std::string text;
    char buffer[16384];
    uint32_t got = 0;
    bool read;
    while ((read = calls_.readFile(file, buffer, sizeof buffer, got)) && got > 0)
        text.append(buffer, got);
    calls_.closeFile(file);
    if (!read)
        return false;

    std::vector<std::string> lines;
    for (std::size_t start = 0; start < text.size();) {
        const std::size_t end = text.find('\n', start);
        if (end == std::string::npos)
            break; // a line without its end is no line
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    const auto invalid = [] {
        platform::setLastError(platform::error::InvalidParameter);
        return false;
    };
    if (lines.size() < 3 || lines[0] != journalMagic || lines.back() != "end")
        return invalid();
    state = lines[1];
    for (std::size_t i = 2; i + 1 < lines.size(); ++i) {
        const std::string &line = lines[i];
        if (line.rfind("root ", 0) == 0) {
            roots_.push_back(line.substr(5));
            continue;
        }
        // "d|f ROOT EXISTED NAME"
        const std::size_t rootEnd = line.find(' ', 2);
        if (line.size() < 8 || (line[0] != 'd' && line[0] != 'f') || line[1] != ' ' ||
            rootEnd == std::string::npos || rootEnd + 3 >= line.size() || line[rootEnd + 2] != ' ')
            return invalid();
        const std::string rootText = line.substr(2, rootEnd - 2);
        if (rootText.empty() || rootText.find_first_not_of("0123456789") != std::string::npos ||
            rootText.size() > 4 || std::stoi(rootText) >= static_cast<int>(roots_.size()))
            return invalid();
        steps_.push_back({line[0] == 'd', std::stoi(rootText), line.substr(rootEnd + 3),
                          line[rootEnd + 1] == '1', false});
    }
    return true;
}

UpdateTransaction::Recovery UpdateTransaction::recover(const std::string &journal,
                                                       const TransactionCalls &calls) {
    // A journal that was being written when the run ended never counted.
    calls.deleteFile((journal + ".tmp").c_str());
    if (calls.fileAttributes(journal.c_str()) == platform::attribute::Invalid) {
        // What a finished update could not remove then (an old file still
        // in use) goes now, from the folder that holds the journal.
        const std::size_t end = journal.find_last_of("/\\");
        if (end != std::string::npos) {
            calls.removeTree(join(journal.substr(0, end), backupName).c_str());
            calls.removeTree(join(journal.substr(0, end), stagingName).c_str());
        }
        return Recovery::Nothing;
    }
    UpdateTransaction transaction(journal, calls);
    std::string state;
    if (!transaction.readJournal(state))
        return Recovery::Failed;
    if (state == stateApply)
        return transaction.rollback() ? Recovery::RolledBack : Recovery::Failed;
    if (state == stateReseat) {
        transaction.removeWorkFolders();
        return Recovery::ReseatDue;
    }
    platform::setLastError(platform::error::InvalidParameter);
    return Recovery::Failed;
}

bool UpdateTransaction::finish(const std::string &journal, const TransactionCalls &calls) {
    return calls.deleteFile(journal.c_str()) ||
           platform::lastError() == platform::error::FileNotFound;
}
