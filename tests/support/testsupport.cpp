#include "testsupport.h"

#include "platform.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <thread>

namespace testsupport {

namespace {

std::string randomSuffix() {
    static std::atomic<unsigned> counter{0};
    std::random_device device;
    std::ostringstream out;
    out << std::hex << device() << '-' << counter++;
    return out.str();
}

} // namespace

TempDir::TempDir() {
    path_ = fs::temp_directory_path() / ("velmar-test-" + randomSuffix());
    fs::create_directories(path_);
}

TempDir::~TempDir() {
    if (const char *keep = std::getenv("VELMAR_KEEP_TEST_DIRS"); keep && *keep)
        return;
    std::error_code ignored;
    // Read-only files would stop remove_all on some systems.
    for (auto it = fs::recursive_directory_iterator(path_, ignored);
         it != fs::recursive_directory_iterator(); it.increment(ignored))
        fs::permissions(it->path(), fs::perms::owner_write, fs::perm_options::add, ignored);
    fs::remove_all(path_, ignored);
}

std::string TempDir::operator/(const std::string &relative) const {
    return utf8(path_ / u8path(relative));
}

std::string readFile(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeFile(const fs::path &path, const std::string &content) {
    if (path.has_parent_path())
        fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

fs::path u8path(const std::string &utf8) {
    return fs::u8path(utf8);
}

std::string utf8(const fs::path &path) {
    return path.u8string();
}

std::string programPath(const std::string &name) {
    const char *folder = std::getenv("VELMAR_BIN_DIR");
    return std::string(folder ? folder : ".") + "/" + name + platform::programSuffix;
}

bool eventually(const std::function<bool()> &condition, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

std::string uniqueName(const std::string &stem) {
    return stem + "-" + randomSuffix();
}

} // namespace testsupport
