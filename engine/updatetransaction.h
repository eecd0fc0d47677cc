// Applies an update as one change: all of it, or none of it.
//
// Every entry of a package is first decoded into a staging folder inside its
// target folder (so the same volume: putting it in place is a rename, not a
// copy). Applying then moves each old file aside into a backup folder there
// and the staged file into its place. A failure undoes every move in reverse
// order; success removes the backups and the staging folders.
//
// A target folder may be one that other users can write (the client's data
// folder lies in the all-users documents folder). So every change goes
// through folders held open, each opened from the one above it and never
// through a link, and the transaction's own work folders are made fresh
// under names of their own, for administrators only, and never reused.
//
// A journal in the installation folder, on the disk before the first move,
// lists every move that may happen and, once the update stands, what is
// left to do: the version to record and the package to remove. The next
// start reads it before doing anything else: an interrupted apply is
// undone, a finished one is completed. Whether a move happened is read from
// the disk (where the file is now), so undoing is safe to repeat after
// another crash. Work folders that cannot go (a file in them still in use)
// are listed beside the journal and go with a later start.
//
// Qt-free; paths are 8-bit strings in the local code page, "/" or "\".
#pragma once

#include "platform.h"

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

// The platform calls the transaction makes, in one table, so that tests can
// make any one of them fail, or change the disk right before it.
struct TransactionCalls {
    platform::FolderHandle (*openFolder)(const char *path, bool followLink);
    platform::FolderHandle (*openFolderAt)(platform::FolderHandle folder, const char *name);
    platform::FolderHandle (*createFolderAt)(platform::FolderHandle folder, const char *name,
                                             platform::FolderAccess access);
    platform::FileHandle (*openFileAt)(platform::FolderHandle folder, const char *name,
                                       platform::FileAccess access, platform::FileShare share,
                                       platform::FileDisposition disposition, uint32_t attributes);
    bool (*readFile)(platform::FileHandle file, void *buffer, uint32_t size, uint32_t &bytesRead);
    bool (*writeFile)(platform::FileHandle file, const void *buffer, uint32_t size);
    bool (*flushFile)(platform::FileHandle file);
    uint32_t (*attributesAt)(platform::FolderHandle folder, const char *name);
    platform::Status (*listFolderAt)(platform::FolderHandle folder,
                                     std::vector<platform::FolderEntry> &entries);
    platform::Status (*moveAt)(platform::FolderHandle from, const char *fromName,
                               platform::FolderHandle to, const char *toName, bool replace);
    platform::Status (*moveOwnAt)(platform::FolderHandle from, const char *fromName,
                                  platform::FolderHandle to, const char *toName);
    platform::Status (*deleteAt)(platform::FolderHandle folder, const char *name);
    platform::Status (*removeFolderAt)(platform::FolderHandle folder, const char *name);
    platform::Status (*removeTreeAt)(platform::FolderHandle folder, const char *name);
    platform::Status (*flushFolder)(platform::FolderHandle folder);
    platform::Status (*flushVolume)(platform::FolderHandle folder);
    bool (*removeAtRestart)(const char *path);
};

// The real platform layer.
const TransactionCalls &systemTransactionCalls();

// The folders an entry's clean name ("a/b/c.txt") lies in, outermost first
// ("a", "a/b").
std::vector<std::string> foldersOf(const std::string &name);

class UpdateTransaction {
public:
    // Who can write in a target folder.
    enum class Access {
        Administrators, // the installation folder
        Everyone,       // the data folder: nothing there is looked up by path twice
    };

    // What is left once the files stand: recorded in the journal before the
    // point of no return, so that a start after a crash can do it.
    struct Completion {
        std::string version;       // for "DisplayVersion"
        std::string packageFolder; // the update package, to be removed
        std::string packageName;
    };

    // What a start finds left of an earlier run: for CommitDue, what is left
    // to do; after an undo, the files set aside (see setAside).
    struct Found {
        Completion completion;
        std::vector<std::string> setAside;
    };

    // What the start of a run found of an earlier one.
    enum class Recovery {
        Nothing,    // no journal: the last run ended cleanly
        RolledBack, // an interrupted apply was undone: all old again
        CommitDue,  // the files stand; the version and the package are still to do
        ReseatDue,  // the update was complete, reseat had not been started
        Failed,     // the journal could not be read or an undo failed; it stays
    };

    // The journal's name in the installation folder, and the list of work
    // folders still to remove. Package entries may not use the names
    // beginning with workPrefix, which the work folders take.
    static const char journalName[];
    static const char leftoversName[];
    static const char workPrefix[];
    // The length of a work folder's name (workPrefix, ".new." or ".old.",
    // eight hex digits).
    static const std::size_t workNameLength;

    // True for an entry name the transaction keeps for itself: its first
    // part begins with workPrefix (in any case, as Windows matches names).
    static bool reserved(const std::string &name);

    // installFolder holds the journal.
    explicit UpdateTransaction(std::string installFolder,
                               const TransactionCalls &calls = systemTransactionCalls());
    UpdateTransaction(const UpdateTransaction &) = delete;
    UpdateTransaction &operator=(const UpdateTransaction &) = delete;

    // A target folder, at path, held in folder when the caller holds it
    // (else opened here; a link there is refused). Its staging and backup
    // folders are made afresh. The root's number, or -1 (last error set).
    int addRoot(const std::string &path, Access access, platform::FolderHandle folder = nullptr);
    // The root's folder, held.
    platform::FolderHandle rootFolder(int root) const { return roots_[root].folder; }
    // True when something (a link included) is at name below the root, as
    // the transaction finds its folders.
    bool exists(int root, const std::string &name);
    // The root's staging folder, held; its path, for reports and tests.
    platform::FolderHandle stagingFolder(int root) const;
    std::string stagingPath(int root) const;
    // False when the root's volume cannot be flushed as a whole: whoever
    // writes its staged files must then flush each of them.
    bool flushesVolume(int root) const { return roots_[root].volumeFlush; }

    // Entry name (relative to the root, decoded into its staging folder) is
    // to be put in place; folder entries make their folder. The entry's
    // number, or -1 for a name the transaction keeps for itself.
    int plan(int root, const std::string &name, bool folder);

    // Compares the plan with the targets and writes the journal. False when a
    // target is of the other kind (a file where a folder goes, or the other
    // way), a folder on the way is a link, or the journal cannot be written:
    // nothing has changed then. Once begun, the plan is fixed and begin does
    // nothing more.
    platform::Status begin();
    bool begun() const { return begun_; }

    // Puts one entry in place: missing folders made, the old file moved
    // aside, the staged one moved in. After a failure (a file in use) it may
    // be called again and goes on where it stopped.
    platform::Status install(int entry);

    // The point of no return: everything put in place is flushed to the
    // disk, the journal says the files stand and what is left to do, and
    // the backups and staging folders go. Old files that cannot go now (an
    // old library still loaded) go with a later start, and, where only
    // administrators can reach them, at the machine's next start.
    platform::Status commit(const Completion &completion);
    // The version is recorded and the package gone: only reseat is left.
    platform::Status reseatDue();

    // Undoes every install in reverse order, then removes the staging and
    // backup folders and the journal. False when something could not be
    // undone: the journal stays for the next start.
    //
    // A folder everyone can write is the user's: where the name an old file
    // goes back to is taken meanwhile (a file made again, a folder on the way
    // turned into a link or a file), the user's entry stays, and the old
    // file goes beside it (in the nearest folder of the way that is still a
    // folder) as "NAME.before-update", never into a folder only
    // administrators open. setAside tells where each went.
    platform::Status rollback();
    const std::vector<std::string> &setAside() const { return setAside_; }

    // At the start of a run, before anything else. For CommitDue, found
    // receives what is left to do (then reseatDue, as below); after an undo,
    // what was set aside.
    static Recovery recover(const std::string &installFolder, Found &found,
                            const TransactionCalls &calls = systemTransactionCalls());
    // After recover's CommitDue, once the version and the package are done.
    static platform::Status reseatDue(const std::string &installFolder,
                                      const TransactionCalls &calls = systemTransactionCalls());
    // Once reseat has been started: the journal goes.
    static platform::Status finish(const std::string &installFolder,
                                   const TransactionCalls &calls = systemTransactionCalls());

private:
    struct Root {
        explicit Root(const TransactionCalls &calls)
            : targets(nullptr, calls.openFolderAt, calls.createFolderAt),
              staged(nullptr, calls.openFolderAt, calls.createFolderAt),
              backups(nullptr, calls.openFolderAt, calls.createFolderAt) {}
        std::string path;
        Access access = Access::Everyone;
        platform::Folder owned;
        platform::FolderHandle folder = nullptr; // nullptr: gone since the journal named it
        std::string stagingName, backupName;
        platform::Folder staging, backup;
        // The folders along the last path used below the root and below
        // its staging and backup folders.
        platform::FolderChain targets, staged, backups;
        // Below a root that everyone can write: every target folder, held
        // from its first use to the end (see targetFolder).
        std::map<std::string, platform::Folder> held;
        bool volumeFlush = false;
    };
    struct Step {
        bool folder;
        int root;
        std::string name;
        bool existed; // an old file was there (files only)
        bool done;    // put in place by this run
    };
    struct Planned {
        int root;
        std::string name;
        bool folder;
        std::vector<std::size_t> steps;
    };

    // What begin finds of the folders on the entries' ways.
    struct FolderPlan {
        std::map<std::pair<int, std::string>, std::size_t> made; // the step that makes it
        std::set<std::pair<int, std::string>> there;
        // Each folder's names as its listing gave them (none: it could not
        // be listed).
        std::map<std::pair<int, std::string>,
                 std::optional<std::unordered_map<std::string, uint32_t>>>
            listed;
    };
    platform::Status lookUp(FolderPlan &folders, int root, const std::string &name,
                            uint32_t &attributes);
    platform::Status planFolder(Planned &entry, const std::string &name, FolderPlan &folders,
                                bool &inNewFolder);
    platform::Status planFile(Planned &entry, FolderPlan &folders, bool inNewFolder);

    bool openJournalFolder();
    platform::FolderHandle targetFolder(Root &root, const std::string &folderPart);
    platform::Status makeWorkFolders(Root &root);
    void openWorkFolders(Root &root);
    platform::Status doStep(Step &step);
    platform::Status flushMoves(bool backups);
    bool undoStep(const Step &step);
    platform::Status setBeside(Root &root, const std::string &folderPart,
                               platform::FolderHandle aside, const std::string &leaf);
    void removeWorkFolders();
    void removeBackupsAtRestart(const Root &root);
    // swapped (when given) tells whether the new list took the old one's
    // place, even where the folder's flush then failed.
    platform::Status writeList(const char *name, const std::string &text, bool *swapped = nullptr);
    bool readList(const char *name, std::string &text);
    platform::Status writeJournal(const std::string &state, bool *swapped = nullptr);
    bool readJournal(std::string &state);
    static bool parseRoot(const std::string &line, bool firstForm, Root &root);
    bool parseStep(const std::string &line);
    bool collectLeftovers(std::vector<std::string> &lines);
    void removeLeftovers();

    std::string installFolder_;
    const TransactionCalls &calls_;
    platform::Folder journalFolder_;
    std::vector<Root> roots_;
    std::vector<Planned> planned_;
    std::vector<Step> steps_;
    Completion completion_;
    std::vector<std::string> setAside_;
    bool begun_ = false;
};
