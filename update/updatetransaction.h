// Applies an update as one change: all of it, or none of it.
//
// Every entry of a package is first decoded into a staging folder inside its
// target folder (so the same volume: putting it in place is a rename, not a
// copy). Applying then moves each old file aside into a backup folder there
// and the staged file into its place. A failure undoes every move in reverse
// order; success removes the backups and the staging folders.
//
// A journal in the installation folder, on the disk before the first move,
// lists every move that may happen. The next start reads it before doing
// anything else: an interrupted apply is undone, a finished one whose hand
// over to reseat did not happen yet is completed. Whether a move happened is
// read from the disk (where the file is now), so undoing is safe to repeat
// after another crash.
//
// Qt-free; paths are 8-bit strings in the local code page, "/" or "\".
#pragma once

#include "platform.h"

#include <cstdint>
#include <set>
#include <string>
#include <vector>

// The platform calls the transaction makes, in one table, so that tests can
// make any one of them fail.
struct TransactionCalls {
    bool (*moveFile)(const char *from, const char *to);
    bool (*commitFile)(const char *from, const char *to);
    platform::FileHandle (*openFile)(const char *path, platform::FileAccess access,
                                     platform::FileShare share,
                                     platform::FileDisposition disposition, uint32_t attributes);
    bool (*readFile)(platform::FileHandle file, void *buffer, uint32_t size, uint32_t &bytesRead);
    bool (*writeFile)(platform::FileHandle file, const void *buffer, uint32_t size);
    bool (*flushFile)(platform::FileHandle file);
    void (*closeFile)(platform::FileHandle file);
    bool (*createDirectory)(const char *path);
    bool (*removeDirectory)(const char *path);
    bool (*removeTree)(const char *path);
    bool (*deleteFile)(const char *path);
    uint32_t (*fileAttributes)(const char *path);
    bool (*removeAtRestart)(const char *path);
};

// The real platform layer.
const TransactionCalls &systemTransactionCalls();

class UpdateTransaction {
public:
    // What the start of a run found of an earlier one.
    enum class Recovery {
        Nothing,    // no journal: the last run ended cleanly
        RolledBack, // an interrupted apply was undone: all old again
        ReseatDue,  // the update was complete, reseat had not been started
        Failed,     // the journal could not be read or an undo failed; it stays
    };

    // The journal's name in the installation folder, and the two folders the
    // transaction makes inside each target folder. Package entries may not
    // use these names.
    static const char journalName[];
    static const char stagingName[];
    static const char backupName[];

    explicit UpdateTransaction(std::string journal,
                               const TransactionCalls &calls = systemTransactionCalls());
    UpdateTransaction(const UpdateTransaction &) = delete;
    UpdateTransaction &operator=(const UpdateTransaction &) = delete;

    // A target folder. Its staging folder is made afresh (what a crashed run
    // left there goes first). The root's number, or -1 (last error set).
    int addRoot(const std::string &folder);
    std::string stagingFolder(int root) const;

    // Entry name (relative to the root, decoded into its staging folder) is
    // to be put in place; folder entries make their folder. The entry's
    // number, or -1 for a name the transaction keeps for itself.
    int plan(int root, const std::string &name, bool folder);

    // Compares the plan with the targets and writes the journal. False when a
    // target is of the other kind (a file where a folder goes, or the other
    // way) or the journal cannot be written: nothing has changed then. Once
    // begun, the plan is fixed and begin does nothing more.
    bool begin();
    bool begun() const { return begun_; }

    // Puts one entry in place: missing folders made, the old file moved
    // aside, the staged one moved in. After a failure (a file in use) it may
    // be called again and goes on where it stopped.
    bool install(int entry);

    // The point of no return: the journal says the update is complete and
    // reseat due; backups and staging folders go. Old files that cannot go
    // now (an old library still loaded) go at the machine's next start, or
    // with the next update if that comes first.
    bool commit();

    // Undoes every install in reverse order, then removes the staging and
    // backup folders and the journal. False when something could not be
    // undone: the journal stays for the next start.
    bool rollback();

    // At the start of a run, before anything else.
    static Recovery recover(const std::string &journal,
                            const TransactionCalls &calls = systemTransactionCalls());
    // Once reseat has been started: the journal goes.
    static bool finish(const std::string &journal,
                       const TransactionCalls &calls = systemTransactionCalls());

private:
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

    std::string target(const Step &step) const;
    std::string staged(const Step &step) const;
    std::string backup(const Step &step) const;
    bool exists(const std::string &path) const;
    bool isFolder(const std::string &path) const;
    bool ensureBackupFolders(const Step &step);
    bool doStep(Step &step);
    bool undoStep(const Step &step);
    bool removeWorkFolders();
    void removeBackupsAtRestart();
    bool writeJournal(const char *state);
    bool readJournal(std::string &state);

    std::string journal_;
    const TransactionCalls &calls_;
    std::vector<std::string> roots_;
    std::vector<Planned> planned_;
    std::vector<Step> steps_;
    std::set<std::string> backupFolders_; // made by this run
    bool begun_ = false;
};
