#include "updatetransaction.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <random>

namespace {

const char journalMagic[] = "velmar update journal 2";
// What the updater before held folders wrote: the same lines, fixed work
// folder names. Its journal may still wait for the first start of this one.
const char journalMagicV1[] = "velmar update journal 1";
const char leftoversMagic[] = "velmar update leftovers 1";
const char stateApply[] = "apply";
const char stateCommit[] = "commit";
const char stateReseat[] = "reseat";
const char legacyStagingName[] = "~velmar-update.new";
const char legacyBackupName[] = "~velmar-update.old";

bool isSeparator(char c) {
    return c == '/' || c == '\\';
}

// In code page 936 the second byte of many characters (淺) is "\": only a
// byte on a character boundary separates.
std::string withoutTrailingSeparators(std::string name) {
    std::size_t kept = 0;
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (platform::isLeadByte(static_cast<unsigned char>(name[i])) && i + 1 < name.size())
            kept = ++i + 1;
        else if (!isSeparator(name[i]))
            kept = i + 1;
    }
    name.resize(kept);
    return name;
}

// An entry's name with "/" between its parts and none at its end.
std::string cleanName(const std::string &name) {
    std::string clean = withoutTrailingSeparators(name);
    for (std::size_t i = 0; i < clean.size(); ++i) {
        if (platform::isLeadByte(static_cast<unsigned char>(clean[i])))
            ++i;
        else if (clean[i] == '\\')
            clean[i] = '/';
    }
    return clean;
}

std::string join(const std::string &folder, const std::string &name) {
    return folder + "/" + name;
}

std::string lowerAscii(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// A clean name's folder part ("" at the top) and its last part.
std::pair<std::string, std::string> splitName(const std::string &name) {
    const std::size_t slash = name.rfind('/');
    if (slash == std::string::npos)
        return {std::string(), name};
    return {name.substr(0, slash), name.substr(slash + 1)};
}

std::string toHex(const std::string &bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (const unsigned char c : bytes) {
        hex += digits[c >> 4];
        hex += digits[c & 0x0F];
    }
    return hex;
}

bool fromHex(const std::string &hex, std::string &bytes) {
    if (hex.size() % 2)
        return false;
    bytes.clear();
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        int value = 0;
        for (const char c : {hex[i], hex[i + 1]}) {
            const int digit = c >= '0' && c <= '9'   ? c - '0'
                              : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                                     : -1;
            if (digit < 0)
                return false;
            value = value * 16 + digit;
        }
        bytes += static_cast<char>(value);
    }
    return true;
}

// Eight hex digits nobody can guess ahead: a user who may create entries
// beside a name made with them cannot have put one of that name there first.
std::string randomHex() {
    static std::random_device source;
    char digits[16];
    std::snprintf(digits, sizeof digits, "%08x", static_cast<unsigned>(source()));
    return digits;
}

std::string workFolderName(const char *kind) {
    return std::string(UpdateTransaction::workPrefix) + "." + kind + "." + randomHex();
}

std::vector<std::string> linesOf(const std::string &text) {
    std::vector<std::string> lines;
    for (std::size_t start = 0; start < text.size();) {
        const std::size_t end = text.find('\n', start);
        if (end == std::string::npos)
            break; // a line without its end is no line
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

bool invalid() {
    platform::setLastError(platform::error::InvalidParameter);
    return false;
}

bool isFolderAttributes(uint32_t attributes) {
    return attributes != platform::attribute::Invalid &&
           (attributes & platform::attribute::Directory) != 0;
}

} // namespace

const char UpdateTransaction::journalName[] = "~velmar-update.journal";
const char UpdateTransaction::leftoversName[] = "~velmar-update.leftovers";
const char UpdateTransaction::workPrefix[] = "~velmar-update";
const std::size_t UpdateTransaction::workNameLength = sizeof workPrefix - 1 + 5 + 8;

const TransactionCalls &systemTransactionCalls() {
    static const TransactionCalls calls{
        platform::openFolderA,    platform::openFolderAt,     platform::createFolderAt,
        platform::openFileAt,     platform::readFile,         platform::writeFile,
        platform::flushFile,      platform::attributesAt,     platform::listFolderAt,
        platform::moveAt,         platform::moveOwnAt,        platform::deleteAt,
        platform::removeFolderAt, platform::removeTreeAt,     platform::flushFolder,
        platform::flushVolume,    platform::removeAtRestartA,
    };
    return calls;
}

UpdateTransaction::UpdateTransaction(std::string installFolder, const TransactionCalls &calls)
    : installFolder_(withoutTrailingSeparators(std::move(installFolder))), calls_(calls) {}

bool UpdateTransaction::openJournalFolder() {
    if (!journalFolder_)
        journalFolder_.reset(calls_.openFolder(installFolder_.c_str(), true));
    return journalFolder_ != nullptr;
}

int UpdateTransaction::addRoot(const std::string &path, Access access,
                               platform::FolderHandle folder) {
    // One line of the journal holds the folder.
    const std::string clean = withoutTrailingSeparators(path);
    if (clean.empty() || clean.find('\n') != std::string::npos) {
        platform::setLastError(platform::error::InvalidParameter);
        return -1;
    }
    if (!openJournalFolder())
        return -1;
    Root root(calls_);
    root.path = clean;
    root.access = access;
    root.folder = folder;
    if (!root.folder) {
        // Only the installation folder may be reached through a link: it
        // is the administrators' to place.
        root.owned.reset(calls_.openFolder(clean.c_str(), access == Access::Administrators));
        if (!root.owned)
            return -1;
        root.folder = root.owned.get();
    }
    root.targets.reset(root.folder);
    roots_.push_back(std::move(root));
    if (const platform::Status made = makeWorkFolders(roots_.back()); !made) {
        roots_.pop_back();
        platform::setLastError(made.error());
        return -1;
    }
    Root &made = roots_.back();
    // Once at the start: can the volume be flushed as a whole at commit?
    made.volumeFlush = static_cast<bool>(calls_.flushVolume(made.folder));
    return static_cast<int>(roots_.size()) - 1;
}

// Fresh names, in the journal before the folders are made, so that whatever
// a crash leaves is found by the next start. A name that is taken (by
// anything, a link included) is never used: another is drawn.
platform::Status UpdateTransaction::makeWorkFolders(Root &root) {
    for (int attempt = 0; attempt < 8; ++attempt) {
        root.stagingName = workFolderName("new");
        root.backupName = workFolderName("old");
        if (const platform::Status written = writeJournal(stateApply); !written)
            return written;
        root.staging.reset(calls_.createFolderAt(root.folder, root.stagingName.c_str(),
                                                 platform::FolderAccess::Private));
        if (root.staging) {
            root.backup.reset(calls_.createFolderAt(root.folder, root.backupName.c_str(),
                                                    platform::FolderAccess::Private));
            // On the disk before an old file goes aside into it: a backup
            // folder that a power cut took with it would take the file too.
            if (root.backup && calls_.flushFolder(root.folder)) {
                root.staged.reset(root.staging.get());
                root.backups.reset(root.backup.get());
                return true;
            }
        }
        const uint32_t error = platform::lastError();
        const bool madeBackup = root.backup != nullptr;
        root.backup.reset();
        if (root.staging) {
            root.staging.reset();
            calls_.removeTreeAt(root.folder, root.stagingName.c_str());
        }
        if (madeBackup)
            calls_.removeTreeAt(root.folder, root.backupName.c_str());
        if (error != platform::error::AlreadyExists) {
            return platform::Status::failure(error);
        }
    }
    return false;
}

// For an undo after a crash: the work folders of the journal, where they
// are; a missing one held nothing yet.
void UpdateTransaction::openWorkFolders(Root &root) {
    root.targets.reset(root.folder);
    root.staging.reset(calls_.openFolderAt(root.folder, root.stagingName.c_str()));
    root.backup.reset(calls_.openFolderAt(root.folder, root.backupName.c_str()));
    root.staged.reset(root.staging.get());
    root.backups.reset(root.backup.get());
}

platform::FolderHandle UpdateTransaction::stagingFolder(int root) const {
    return roots_[root].staging.get();
}

std::string UpdateTransaction::stagingPath(int root) const {
    return join(roots_[root].path, roots_[root].stagingName);
}

// In a folder that others can write, each folder is opened once, from the
// one above it, and held to the end: one swapped for a link after it was
// first seen changes nothing, as what is done there goes on (and is undone)
// in the folder that was seen. In the installation folder only
// administrators act, and the held path suffices.
platform::FolderHandle UpdateTransaction::targetFolder(Root &root, const std::string &folderPart) {
    if (root.access == Access::Administrators)
        return root.targets.reach(folderPart);
    if (folderPart.empty())
        return root.folder;
    const auto found = root.held.find(folderPart);
    if (found != root.held.end())
        return found->second.get();
    const auto [parentPart, leaf] = splitName(folderPart);
    const platform::FolderHandle parent = targetFolder(root, parentPart);
    if (!parent)
        return nullptr;
    platform::Folder folder(calls_.openFolderAt(parent, leaf.c_str()));
    if (!folder)
        return nullptr;
    return root.held.emplace(folderPart, std::move(folder)).first->second.get();
}

bool UpdateTransaction::exists(int root, const std::string &name) {
    const std::string clean = cleanName(name);
    const auto [folderPart, leaf] = splitName(clean);
    const platform::FolderHandle folder = targetFolder(roots_[root], folderPart);
    return folder && (leaf.empty() ||
                      calls_.attributesAt(folder, leaf.c_str()) != platform::attribute::Invalid);
}

bool UpdateTransaction::reserved(const std::string &name) {
    // The first part that names something: "./x" is "x", as the reader
    // takes it.
    const std::string clean = cleanName(name);
    std::size_t start = 0, end;
    while ((end = clean.find('/', start)) != std::string::npos &&
           (end == start || clean.compare(start, end - start, ".") == 0))
        start = end + 1;
    return lowerAscii(clean.substr(start, end == std::string::npos ? end : end - start))
               .compare(0, sizeof workPrefix - 1, workPrefix) == 0;
}

int UpdateTransaction::plan(int root, const std::string &name, bool folder) {
    const std::string clean = cleanName(name);
    if (clean.empty() || clean.find('\n') != std::string::npos || reserved(clean)) {
        platform::setLastError(platform::error::InvalidParameter);
        return -1;
    }
    planned_.push_back({root, clean, folder, {}});
    return static_cast<int>(planned_.size()) - 1;
}

std::vector<std::string> foldersOf(const std::string &name) {
    std::vector<std::string> folders;
    for (std::size_t end = name.find('/'); end != std::string::npos; end = name.find('/', end + 1))
        folders.push_back(name.substr(0, end));
    return folders;
}

platform::Status UpdateTransaction::begin() {
    if (begun_)
        return true;
    FolderPlan folders;
    for (auto &entry : planned_) {
        // Nothing can be in the way inside a folder that the plan makes.
        bool inNewFolder = false;
        std::vector<std::string> way = foldersOf(entry.name);
        if (entry.folder)
            way.push_back(entry.name);
        for (const std::string &folder : way) {
            if (const platform::Status planned = planFolder(entry, folder, folders, inNewFolder);
                !planned)
                return planned;
        }
        if (entry.folder)
            continue;
        if (const platform::Status planned = planFile(entry, folders, inNewFolder); !planned)
            return planned;
    }
    const platform::Status written = writeJournal(stateApply);
    begun_ = static_cast<bool>(written);
    return written;
}

// A folder on an entry's way: made by a step of the plan (one step for
// every entry inside it, so that an entry can be put in place even when
// the one that first needed the folder was not), or there already (looked
// at once, not for every entry), and never a file or a link.
platform::Status UpdateTransaction::planFolder(Planned &entry, const std::string &name,
                                               FolderPlan &folders, bool &inNewFolder) {
    const std::pair<int, std::string> key{entry.root, name};
    if (const auto known = folders.made.find(key); known != folders.made.end()) {
        entry.steps.push_back(known->second);
        inNewFolder = true;
        return true;
    }
    if (folders.there.count(key) != 0)
        return true;
    uint32_t attributes = platform::attribute::Invalid;
    if (!inNewFolder) {
        if (const platform::Status looked = lookUp(folders, entry.root, name, attributes); !looked)
            return looked;
    }
    if (attributes == platform::attribute::Invalid) {
        folders.made[key] = steps_.size();
        entry.steps.push_back(steps_.size());
        steps_.push_back({true, entry.root, name, false, false});
        inNewFolder = true;
        return true;
    }
    if ((attributes & platform::attribute::Directory) == 0) {
        return platform::Status::failure(platform::error::AlreadyExists);
    }
    if (attributes & platform::attribute::ReparsePoint) {
        // A linked folder (a junction on Windows) leads outside the
        // installation: nothing is moved into or out of it.
        return platform::Status::failure(platform::error::StoppedOnSymlink);
    }
    folders.there.insert(key);
    return true;
}

// What is at name below the root as planning finds it: each folder is
// listed at its first look, not looked into once for each of its names. A
// name is looked up on its own only where the listing cannot answer: a link
// (whose kind it does not tell), a folder that could not be listed, and
// where names match in any case (Windows) a name it lacks.
platform::Status UpdateTransaction::lookUp(FolderPlan &folders, int root, const std::string &name,
                                           uint32_t &attributes) {
    const auto [parent, leaf] = splitName(name);
    const platform::FolderHandle folder = targetFolder(roots_[root], parent);
    if (!folder)
        return false;
    auto listed = folders.listed.find({root, parent});
    if (listed == folders.listed.end()) {
        std::vector<platform::FolderEntry> entries;
        std::optional<std::unordered_map<std::string, uint32_t>> names;
        if (calls_.listFolderAt(folder, entries)) {
            names.emplace();
            for (auto &item : entries)
                names->emplace(std::move(item.name), item.attributes);
        }
        listed = folders.listed.emplace(std::make_pair(root, parent), std::move(names)).first;
    }
    if (const auto &names = listed->second) {
        const auto found = names->find(leaf);
        const bool answered = found == names->end()
                                  ? platform::caseSensitiveNames
                                  : (found->second & platform::attribute::ReparsePoint) == 0;
        if (answered) {
            attributes = found == names->end() ? platform::attribute::Invalid : found->second;
            return true;
        }
    }
    attributes = calls_.attributesAt(folder, leaf.c_str());
    return true;
}

// A file entry: whether an old file is in its place (never a folder).
platform::Status UpdateTransaction::planFile(Planned &entry, FolderPlan &folders,
                                             bool inNewFolder) {
    uint32_t attributes = platform::attribute::Invalid;
    if (!inNewFolder) {
        if (const platform::Status looked = lookUp(folders, entry.root, entry.name, attributes);
            !looked)
            return looked;
    }
    const bool existed = attributes != platform::attribute::Invalid;
    if (existed && (attributes & platform::attribute::Directory)) {
        return platform::Status::failure(platform::error::AccessDenied);
    }
    entry.steps.push_back(steps_.size());
    steps_.push_back({false, entry.root, entry.name, existed, false});
    return true;
}

// Tries first and looks after a failure only: the common case (a new file,
// or an old one moved aside) costs one or two renames and no look.
platform::Status UpdateTransaction::doStep(Step &step) {
    if (step.done)
        return true;
    Root &root = roots_[step.root];
    const auto [folderPart, leaf] = splitName(step.name);
    const platform::FolderHandle target = targetFolder(root, folderPart);
    if (!target)
        return false;
    if (step.folder) {
        // The plan found nothing there: the folder is made, and the name
        // looked at only when that fails (a folder made meanwhile, by the
        // user or by an earlier attempt, is as good).
        platform::Folder made(
            calls_.createFolderAt(target, leaf.c_str(), platform::FolderAccess::Inherited));
        if (!made) {
            const uint32_t error = platform::lastError();
            if (!isFolderAttributes(calls_.attributesAt(target, leaf.c_str())))
                return platform::Status::failure(error);
            return step.done = true;
        }
        if (root.access == Access::Everyone)
            root.held[step.name] = std::move(made); // held from its making on
        return step.done = true;
    }
    const platform::FolderHandle staged = root.staged.reach(folderPart);
    if (!staged)
        return false;
    platform::FolderHandle aside = nullptr;
    bool movedAside = false;
    if (step.existed) {
        aside = root.backups.reach(folderPart, platform::FolderAccess::Inherited);
        if (!aside)
            return false;
        const platform::Status moved =
            calls_.moveAt(target, leaf.c_str(), aside, leaf.c_str(), false);
        movedAside = static_cast<bool>(moved);
        // A backup there already: the old file went aside before (an entry
        // of the same name, or a move back that failed).
        if (!movedAside && calls_.attributesAt(aside, leaf.c_str()) == platform::attribute::Invalid)
            return moved;
    }
    // The staged file is ours alone (a folder only we may enter).
    const platform::Status movedIn = calls_.moveOwnAt(staged, leaf.c_str(), target, leaf.c_str());
    if (movedIn) {
        step.done = true;
        return true;
    }
    // Moved in already when the staged file is gone (an entry of the same
    // name put it in place).
    if (calls_.attributesAt(staged, leaf.c_str()) == platform::attribute::Invalid) {
        step.done = true;
        return true;
    }
    // The old file goes back at once: whoever gives up on this entry and goes
    // on (a kept user.ini) finds it where it was.
    if (movedAside)
        calls_.moveAt(aside, leaf.c_str(), target, leaf.c_str(), false);
    return movedIn;
}

platform::Status UpdateTransaction::install(int entry) {
    for (const std::size_t step : planned_[entry].steps) {
        if (const platform::Status done = doStep(steps_[step]); !done)
            return done;
    }
    return true;
}

// Where the files are tells what happened: a backup means the old file was
// moved aside; a target without its staged file means the new one was
// moved in.
bool UpdateTransaction::undoStep(const Step &step) {
    Root &root = roots_[step.root];
    if (!root.folder)
        return true; // gone since, with whatever it held
    const bool users = root.access == Access::Everyone;
    const auto [folderPart, leaf] = splitName(step.name);
    const auto there = [&](platform::FolderHandle folder) {
        return folder && calls_.attributesAt(folder, leaf.c_str()) != platform::attribute::Invalid;
    };
    const platform::FolderHandle aside =
        step.folder || !root.backup ? platform::FolderHandle() : root.backups.reach(folderPart);
    const platform::FolderHandle target = targetFolder(root, folderPart);
    if (!target) {
        // In the user's folder a folder on the way may be gone, or be a link
        // or a file now: the old file goes where it still can.
        if (users)
            return !step.existed || !there(aside) || setBeside(root, folderPart, aside, leaf);
        // Never made, or gone with what it held.
        return platform::lastError() == platform::error::FileNotFound ||
               platform::lastError() == platform::error::PathNotFound;
    }
    if (step.folder) {
        if (!isFolderAttributes(calls_.attributesAt(target, leaf.c_str())))
            return true;
        // Windows removes a folder once nobody holds it: ours go first.
        root.held.erase(step.name);
        root.targets.reset(root.folder);
        const platform::FolderHandle parent = targetFolder(root, folderPart);
        if (parent && calls_.removeFolderAt(parent, leaf.c_str()))
            return true;
        // What the user put into a folder the update made stays, with it.
        return users && platform::lastError() == platform::error::DirNotEmpty;
    }
    if (step.existed && !there(aside))
        return true; // the old file never moved
    if (there(target)) {
        if (root.staging) {
            const platform::FolderHandle staged =
                root.staged.reach(folderPart, platform::FolderAccess::Inherited);
            // The staged file still there: what stands at the target is not
            // the update's (the user made it anew) and stays.
            if (!staged || (!there(staged) &&
                            !calls_.moveAt(target, leaf.c_str(), staged, leaf.c_str(), false)))
                return false;
        } else if (step.existed && !calls_.deleteAt(target, leaf.c_str())) {
            // The staging folder went elsewhere (renamed by whoever may act
            // in the folder): with the old file aside, what stands there is
            // the package's copy, which the package still holds.
            return false;
        }
    }
    return !step.existed || calls_.moveAt(aside, leaf.c_str(), target, leaf.c_str(), false) ||
           (users && setBeside(root, folderPart, aside, leaf));
}

// Puts the backup of leaf beside the user's entry that took its place: in
// the nearest folder of folderPart that is still a folder, under a name
// that says what it is and that nobody took.
platform::Status UpdateTransaction::setBeside(Root &root, const std::string &folderPart,
                                              platform::FolderHandle aside,
                                              const std::string &leaf) {
    std::string part = folderPart;
    platform::FolderHandle folder;
    while (!(folder = targetFolder(root, part))) {
        if (part.empty())
            return false;
        part = splitName(part).first;
    }
    // The plain name first; then names nobody can have taken ahead, and
    // short ones where a long name makes the name too long.
    std::vector<std::string> names{leaf + ".before-update"};
    for (int attempt = 0; attempt < 4; ++attempt)
        names.push_back(leaf + ".before-update-" + randomHex());
    for (int attempt = 0; attempt < 4; ++attempt)
        names.push_back("before-update-" + randomHex());
    for (const std::string &name : names) {
        if (calls_.moveAt(aside, leaf.c_str(), folder, name.c_str(), false)) {
            setAside_.push_back(join(root.path, part.empty() ? name : join(part, name)));
            // On the disk before the backups go.
            return calls_.flushFolder(folder);
        }
        const uint32_t error = platform::lastError();
        if (error != platform::error::AlreadyExists && error != platform::error::FileExists &&
            error != platform::error::FilenameTooLong)
            return false;
    }
    return false;
}

// What cannot go now (a file still in use) is listed for a later start and,
// where only administrators reach it, left to the machine's next start.
void UpdateTransaction::removeWorkFolders() {
    std::vector<std::string> remaining;
    for (auto &root : roots_) {
        if (!root.folder)
            continue;
        // Nothing of them may be held while they go (Windows removes a
        // folder only once its last handle is closed).
        root.staged.reset(nullptr);
        root.backups.reset(nullptr);
        root.staging.reset();
        root.backup.reset();
        for (const std::string *name : {&root.stagingName, &root.backupName}) {
            if (calls_.removeTreeAt(root.folder, name->c_str()))
                continue;
            remaining.push_back("leftover " + *name + " " + root.path);
            if (root.access == Access::Administrators && name == &root.backupName)
                removeBackupsAtRestart(root);
        }
    }
    if (remaining.empty())
        return;
    std::vector<std::string> lines;
    collectLeftovers(lines);
    lines.insert(lines.end(), remaining.begin(), remaining.end());
    std::string text = std::string(leftoversMagic) + "\n";
    for (const auto &line : lines)
        text += line + "\n";
    text += "end\n";
    writeList(leftoversName, text);
}

void UpdateTransaction::removeBackupsAtRestart(const Root &root) {
    // Files first, then their folders, inner ones before outer ones: Windows
    // works through the requests in order and removes only empty folders.
    const std::string base = join(root.path, root.backupName);
    platform::FolderChain backups(nullptr, calls_.openFolderAt, calls_.createFolderAt);
    platform::Folder backup(calls_.openFolderAt(root.folder, root.backupName.c_str()));
    backups.reset(backup.get());
    std::set<std::string> folders;
    for (const auto &step : steps_) {
        if (step.folder || !step.existed || &roots_[step.root] != &root)
            continue;
        const auto [folderPart, leaf] = splitName(step.name);
        const platform::FolderHandle aside = backups.reach(folderPart);
        if (!aside || calls_.attributesAt(aside, leaf.c_str()) == platform::attribute::Invalid)
            continue;
        calls_.removeAtRestart(join(base, step.name).c_str());
        folders.insert(base);
        for (std::size_t end = step.name.find('/'); end != std::string::npos;
             end = step.name.find('/', end + 1))
            folders.insert(join(base, step.name.substr(0, end)));
    }
    // A folder's path is longer than that of any folder around it.
    std::vector<std::string> innerFirst(folders.begin(), folders.end());
    std::stable_sort(
        innerFirst.begin(), innerFirst.end(),
        [](const std::string &a, const std::string &b) { return a.size() > b.size(); });
    for (const auto &folder : innerFirst)
        calls_.removeAtRestart(folder.c_str());
}

// Where the volume cannot be flushed as a whole, each folder that a move
// went through is, inner folders before the ones that hold their names:
// the backups first (when old files went there), so that an old file is
// never on the disk in neither place, then the targets.
platform::Status UpdateTransaction::flushMoves(bool backups) {
    std::set<std::pair<int, std::string>> targets, asides;
    for (const auto &step : steps_) {
        std::string part = splitName(step.name).first;
        targets.insert({step.root, part});
        if (step.folder)
            targets.insert({step.root, step.name});
        for (bool more = backups && step.existed; more; part = splitName(part).first) {
            asides.insert({step.root, part});
            more = !part.empty();
        }
    }
    const auto flushAll = [&](const std::set<std::pair<int, std::string>> &folders,
                              bool aside) -> platform::Status {
        std::vector<std::pair<int, std::string>> innerFirst(folders.begin(), folders.end());
        std::stable_sort(innerFirst.begin(), innerFirst.end(), [](const auto &a, const auto &b) {
            return a.second.size() > b.second.size();
        });
        for (const auto &[index, part] : innerFirst) {
            Root &root = roots_[index];
            if (!root.folder || root.volumeFlush || (aside && !root.backup))
                continue;
            // A folder that is not there (never made, or removed again)
            // holds nothing: its name went with the folder around it.
            const platform::FolderHandle folder =
                aside ? root.backups.reach(part) : targetFolder(root, part);
            if (!folder)
                continue;
            if (const platform::Status flushed = calls_.flushFolder(folder); !flushed)
                return flushed;
        }
        return true;
    };
    for (const auto &root : roots_) {
        if (!root.folder || !root.volumeFlush)
            continue;
        if (const platform::Status flushed = calls_.flushVolume(root.folder); !flushed)
            return flushed;
    }
    const platform::Status backupsFlushed = flushAll(asides, true);
    return backupsFlushed ? flushAll(targets, false) : backupsFlushed;
}

platform::Status UpdateTransaction::commit(const Completion &completion) {
    completion_ = completion;
    // Whatever was staged and moved is on the disk before the journal says
    // it stands: a power cut must not leave "done" over empty files, or an
    // old file neither in its place nor in the backups.
    if (const platform::Status flushed = flushMoves(true); !flushed)
        return flushed;
    // Once the journal says the files stand, they do, even where its
    // folder's flush failed: the disk may hold either journal then, and
    // undoing the files now could leave one that says they stand over a
    // tree half undone.
    bool swapped = false;
    if (const platform::Status written = writeJournal(stateCommit, &swapped); !written && !swapped)
        return written;
    removeWorkFolders();
    return true;
}

platform::Status UpdateTransaction::reseatDue() {
    return writeJournal(stateReseat);
}

platform::Status UpdateTransaction::rollback() {
    bool undone = true;
    for (auto step = steps_.rbegin(); step != steps_.rend(); ++step) {
        // Go on past a failure: every other file is still better off old.
        if (!undoStep(*step))
            undone = false;
    }
    // The old files stand on the disk again before their backups go: a
    // later flush of the folder around them would take the backups' names
    // off the disk while the moves back were not on it.
    if (!undone || !flushMoves(false))
        return false;
    // The staged files are not needed any more; the journal goes last, once
    // nothing is left for the next start to undo.
    removeWorkFolders();
    return !openJournalFolder() || calls_.deleteAt(journalFolder_.get(), journalName) ||
           platform::lastError() == platform::error::FileNotFound;
}

// Written beside and then swapped in: the file is whole or absent.
platform::Status UpdateTransaction::writeList(const char *name, const std::string &text,
                                              bool *swapped) {
    if (!openJournalFolder())
        return false;
    const std::string fresh = std::string(name) + ".tmp";
    platform::File file(calls_.openFileAt(journalFolder_.get(), fresh.c_str(),
                                          platform::FileAccess::Write, platform::FileShare::None,
                                          platform::FileDisposition::CreateAlways, 0));
    if (!file)
        return false;
    const platform::Status written =
        calls_.writeFile(file.get(), text.data(), static_cast<uint32_t>(text.size())) &&
        calls_.flushFile(file.get());
    file.reset();
    const platform::Status swappedIn = written ? calls_.moveAt(journalFolder_.get(), fresh.c_str(),
                                                               journalFolder_.get(), name, true)
                                               : written;
    if (!swappedIn) {
        calls_.deleteAt(journalFolder_.get(), fresh.c_str());
        return swappedIn;
    }
    if (swapped)
        *swapped = true;
    return calls_.flushFolder(journalFolder_.get());
}

platform::Status UpdateTransaction::writeJournal(const std::string &state, bool *swapped) {
    std::string text = std::string(journalMagic) + "\n" + state + "\n";
    for (const auto &root : roots_) {
        text += "root ";
        text += root.access == Access::Administrators ? "A " : "E ";
        text += root.stagingName + " " + root.backupName + " " + root.path + "\n";
    }
    if (state != stateApply) {
        text += "version " + toHex(completion_.version) + "\n";
        text +=
            "package " + toHex(completion_.packageName) + " " + completion_.packageFolder + "\n";
    } else {
        for (const auto &step : steps_) {
            text += step.folder ? "d " : "f ";
            text +=
                std::to_string(step.root) + " " + (step.existed ? "1 " : "0 ") + step.name + "\n";
        }
    }
    text += "end\n";
    return writeList(journalName, text, swapped);
}

bool UpdateTransaction::readList(const char *name, std::string &text) {
    platform::File file(calls_.openFileAt(journalFolder_.get(), name, platform::FileAccess::Read,
                                          platform::FileShare::Read,
                                          platform::FileDisposition::OpenExisting, 0));
    if (!file)
        return false;
    text.clear();
    char buffer[16384];
    uint32_t got = 0;
    bool read;
    while ((read = calls_.readFile(file.get(), buffer, sizeof buffer, got)) && got > 0)
        text.append(buffer, got);
    return read;
}

bool UpdateTransaction::readJournal(std::string &state) {
    std::string text;
    if (!readList(journalName, text))
        return false;
    const std::vector<std::string> lines = linesOf(text);
    if (lines.size() < 3 || (lines[0] != journalMagic && lines[0] != journalMagicV1) ||
        lines.back() != "end")
        return invalid();
    const bool firstForm = lines[0] == journalMagicV1;
    state = lines[1];
    for (std::size_t i = 2; i + 1 < lines.size(); ++i) {
        const std::string &line = lines[i];
        if (line.rfind("root ", 0) == 0) {
            Root root(calls_);
            if (!parseRoot(line, firstForm, root))
                return invalid();
            roots_.push_back(std::move(root));
        } else if (line.rfind("version ", 0) == 0) {
            if (!fromHex(line.substr(8), completion_.version))
                return invalid();
        } else if (line.rfind("package ", 0) == 0) {
            const std::size_t folder = line.find(' ', 8);
            if (folder == std::string::npos ||
                !fromHex(line.substr(8, folder - 8), completion_.packageName))
                return invalid();
            completion_.packageFolder = line.substr(folder + 1);
        } else if (!parseStep(line)) {
            return invalid();
        }
    }
    return true;
}

// "root A|E STAGING BACKUP PATH"; the first form named only the path, and
// its work folders had fixed names.
bool UpdateTransaction::parseRoot(const std::string &line, bool firstForm, Root &root) {
    if (firstForm) {
        root.path = line.substr(5);
        root.stagingName = legacyStagingName;
        root.backupName = legacyBackupName;
        return true;
    }
    const std::size_t staging = 7, backup = line.find(' ', staging) + 1;
    const std::size_t path = backup == 0 ? 0 : line.find(' ', backup) + 1;
    if (line.size() < 9 || (line[5] != 'A' && line[5] != 'E') || line[6] != ' ' || backup == 0 ||
        path == 0 || path >= line.size())
        return false;
    root.access = line[5] == 'A' ? Access::Administrators : Access::Everyone;
    root.stagingName = line.substr(staging, backup - 1 - staging);
    root.backupName = line.substr(backup, path - 1 - backup);
    root.path = line.substr(path);
    return root.stagingName.rfind(workPrefix, 0) == 0 && root.backupName.rfind(workPrefix, 0) == 0;
}

// "d|f ROOT EXISTED NAME"
bool UpdateTransaction::parseStep(const std::string &line) {
    const std::size_t rootEnd = line.find(' ', 2);
    if (line.size() < 8 || (line[0] != 'd' && line[0] != 'f') || line[1] != ' ' ||
        rootEnd == std::string::npos || rootEnd + 3 >= line.size() || line[rootEnd + 2] != ' ')
        return false;
    const std::string rootText = line.substr(2, rootEnd - 2);
    if (rootText.empty() || rootText.find_first_not_of("0123456789") != std::string::npos ||
        rootText.size() > 4 || std::stoi(rootText) >= static_cast<int>(roots_.size()))
        return false;
    steps_.push_back({line[0] == 'd', std::stoi(rootText), line.substr(rootEnd + 3),
                      line[rootEnd + 1] == '1', false});
    return true;
}

// The work folders that earlier runs could not remove; true when the list
// was read (or there is none).
bool UpdateTransaction::collectLeftovers(std::vector<std::string> &lines) {
    std::string text;
    if (!readList(leftoversName, text))
        return platform::lastError() == platform::error::FileNotFound;
    const std::vector<std::string> all = linesOf(text);
    if (all.size() < 2 || all[0] != leftoversMagic || all.back() != "end")
        return false;
    for (std::size_t i = 1; i + 1 < all.size(); ++i) {
        if (all[i].rfind("leftover ", 0) == 0)
            lines.push_back(all[i]);
    }
    return true;
}

// Removes what earlier runs left; what still cannot go stays listed.
void UpdateTransaction::removeLeftovers() {
    std::vector<std::string> lines, remaining;
    if (!collectLeftovers(lines) || lines.empty())
        return;
    for (const auto &line : lines) {
        // "leftover NAME PATH"
        const std::size_t path = line.find(' ', 9);
        if (path == std::string::npos)
            continue;
        const std::string name = line.substr(9, path - 9);
        if (name.rfind(workPrefix, 0) != 0)
            continue; // never anything but a work folder
        platform::Folder folder(calls_.openFolder(line.substr(path + 1).c_str(), false));
        if (folder && !calls_.removeTreeAt(folder.get(), name.c_str()))
            remaining.push_back(line);
    }
    if (remaining.empty()) {
        calls_.deleteAt(journalFolder_.get(), leftoversName);
        return;
    }
    std::string text = std::string(leftoversMagic) + "\n";
    for (const auto &line : remaining)
        text += line + "\n";
    writeList(leftoversName, text + "end\n");
}

UpdateTransaction::Recovery UpdateTransaction::recover(const std::string &installFolder,
                                                       Found &found,
                                                       const TransactionCalls &calls) {
    UpdateTransaction transaction(installFolder, calls);
    // A folder that cannot be opened (one its own name cannot reach, in a
    // code page without its characters) holds no journal of ours either:
    // no run got as far as writing one there.
    if (!transaction.openJournalFolder())
        return Recovery::Nothing;
    const platform::FolderHandle folder = transaction.journalFolder_.get();
    // A journal that was being written when the run ended never counted.
    calls.deleteAt(folder, (std::string(journalName) + ".tmp").c_str());
    calls.deleteAt(folder, (std::string(leftoversName) + ".tmp").c_str());
    transaction.removeLeftovers();
    if (calls.attributesAt(folder, journalName) == platform::attribute::Invalid) {
        // What an updater before this one could not remove then.
        calls.removeTreeAt(folder, legacyBackupName);
        calls.removeTreeAt(folder, legacyStagingName);
        return Recovery::Nothing;
    }
    std::string state;
    if (!transaction.readJournal(state))
        return Recovery::Failed;
    for (auto &root : transaction.roots_) {
        root.owned.reset(
            calls.openFolder(root.path.c_str(), root.access == Access::Administrators));
        root.folder = root.owned.get();
        // A target folder that is gone holds nothing to undo.
        if (root.folder)
            transaction.openWorkFolders(root);
    }
    if (state == stateApply) {
        const bool undone = static_cast<bool>(transaction.rollback());
        found.setAside = transaction.setAside_;
        return undone ? Recovery::RolledBack : Recovery::Failed;
    }
    if (state == stateCommit || state == stateReseat) {
        transaction.removeWorkFolders();
        found.completion = transaction.completion_;
        return state == stateCommit ? Recovery::CommitDue : Recovery::ReseatDue;
    }
    platform::setLastError(platform::error::InvalidParameter);
    return Recovery::Failed;
}

platform::Status UpdateTransaction::reseatDue(const std::string &installFolder,
                                              const TransactionCalls &calls) {
    UpdateTransaction transaction(installFolder, calls);
    std::string state;
    return transaction.openJournalFolder() && transaction.readJournal(state) &&
           transaction.writeJournal(stateReseat);
}

platform::Status UpdateTransaction::finish(const std::string &installFolder,
                                           const TransactionCalls &calls) {
    UpdateTransaction transaction(installFolder, calls);
    return transaction.openJournalFolder() &&
           (calls.deleteAt(transaction.journalFolder_.get(), journalName) ||
            platform::lastError() == platform::error::FileNotFound);
}
