// A stand-in machine laid out like a real installation of the client, as the
// uninstaller finds it: the "App Paths" and "Uninstall" keys, the
// installation tree under "velmar" (nested folders, a read-only file),
// "Orvane" beside it, the desktop shortcut and the two Start-menu folders.
// Next to each of them lies something of another program, which must stay.
#pragma once

#include "machine.h"

#include <string>

namespace uninstalltest {

using testsupport::Machine;

extern const char appPathsKey[];  // ...\App Paths\velmar
extern const char uninstallKey[]; // ...\Uninstall\velmar

class Installation {
public:
    // Lays the installation out in folder (relative to the machine's root),
    // with InstallLocation naming it.
    explicit Installation(const Machine &machine,
                          const std::string &folder = "Program Files (x86)/Orvane Client");

    const std::string &folder() const { return folder_; }
    // The folder InstallLocation names, and the two folders in it.
    std::string location() const { return machine_.path(folder_); }
    std::string velmar() const { return location() + "/velmar"; }
    std::string orvane() const { return location() + "/Orvane"; }
    std::string desktop() const;
    std::string desktopLink() const { return desktop() + "/Orvane.lnk"; }
    std::string startMenu() const;
    std::string batch(const std::string &name) const { return location() + "/" + name; }
    bool batchFilesExist() const;

    // The registry key (Windows-style, under HKEY_LOCAL_MACHINE) as a folder.
    std::string keyFolder(const std::string &key) const;
    bool keyExists(const std::string &key) const;
    void setInstallLocation(const std::string &value) const;
    void removeInstallLocation() const;

    // True while everything of the other programs is where it was.
    bool othersUntouched() const;
    // True while nothing of the client has been removed yet.
    bool clientUntouched() const;

private:
    const Machine &machine_;
    std::string folder_;
};

} // namespace uninstalltest
