#include "installation.h"

#include <pwd.h>
#include <unistd.h>

namespace uninstalltest {

using namespace testsupport;

const char appPathsKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\velmar";
const char uninstallKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\velmar";

namespace {

const char otherProgramKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\other.exe";

const char *const clientFiles[] = {
    "velmar.dll",
    "Qt5Core.dll",
    "update",
    "exeinfo/ConfigPath.txt",
    "exeinfo/reseat",
    "plugins/imageformats/qgif.dll",
    "plugins/platforms/qwindows.dll",
};

std::string loginName() {
    const passwd *user = ::getpwuid(::geteuid());
    return user ? user->pw_name : "";
}

} // namespace

Installation::Installation(const Machine &machine, const std::string &folder)
    : machine_(machine), folder_(folder) {
    for (const char *file : clientFiles)
        writeFile(u8path(velmar() + "/" + file), file);
    // Installers leave read-only files behind; they must go all the same.
    fs::permissions(u8path(velmar() + "/Qt5Core.dll"), fs::perms::owner_read);
    writeFile(u8path(orvane() + "/Config/veconfig.ini"), "[Server]\nVersion=1.0.0\n");
    writeFile(u8path(orvane() + "/cache/avatar.png"), "png");
    writeFile(u8path(location() + "/keep.txt"), "not the client's");

    setInstallLocation(location());
    writeFile(u8path(keyFolder(uninstallKey) + "/DisplayVersion"), "1.0.0");
    writeFile(u8path(keyFolder(otherProgramKey) + "/Path"), "C:\\Other");

    writeFile(u8path(desktopLink()), "shortcut");
    writeFile(u8path(desktop() + "/Other.lnk"), "shortcut");
    for (const char *menu : {"Orvane", "Velmar"})
        for (const char *link : {"卸载.lnk", "Orvane.lnk"})
            writeFile(u8path(startMenu() + "/" + menu + "/" + link), "shortcut");
    writeFile(u8path(startMenu() + "/Other App/Other.lnk"), "shortcut");
}

std::string Installation::desktop() const {
    return machine_.path("Users/" + loginName() + "/Desktop");
}

std::string Installation::startMenu() const {
    return machine_.path("ProgramData/Microsoft/Windows/Start Menu/Programs");
}

std::string Installation::keyFolder(const std::string &key) const {
    std::string folder = key;
    for (auto &c : folder)
        if (c == '\\')
            c = '/';
    return machine_.path("Registry/HKEY_LOCAL_MACHINE/" + folder);
}

bool Installation::keyExists(const std::string &key) const {
    return fs::is_directory(u8path(keyFolder(key)));
}

void Installation::setInstallLocation(const std::string &value) const {
    writeFile(u8path(keyFolder(appPathsKey) + "/InstallLocation"), value);
}

void Installation::removeInstallLocation() const {
    fs::remove(u8path(keyFolder(appPathsKey) + "/InstallLocation"));
}

bool Installation::batchFilesExist() const {
    return fs::exists(u8path(batch("velmar_delete.bat"))) ||
           fs::exists(u8path(batch("velmar_delete1.bat")));
}

bool Installation::othersUntouched() const {
    return readFile(u8path(location() + "/keep.txt")) == "not the client's" &&
           registryValue(machine_, otherProgramKey, "Path") == "C:\\Other" &&
           fs::exists(u8path(desktop() + "/Other.lnk")) &&
           fs::exists(u8path(startMenu() + "/Other App/Other.lnk"));
}

bool Installation::clientUntouched() const {
    for (const char *file : clientFiles)
        if (readFile(u8path(velmar() + "/" + file)) != file)
            return false;
    return readFile(u8path(orvane() + "/Config/veconfig.ini")) == "[Server]\nVersion=1.0.0\n" &&
           keyExists(appPathsKey) && keyExists(uninstallKey) && fs::exists(u8path(desktopLink())) &&
           fs::exists(u8path(startMenu() + "/Orvane/卸载.lnk")) &&
           fs::exists(u8path(startMenu() + "/Velmar/Orvane.lnk"));
}

} // namespace uninstalltest
