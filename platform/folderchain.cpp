// The held path below a root, shared by both backends: it is made of the
// folder calls alone.
#include "platform.h"

namespace platform {

void FolderChain::reset(FolderHandle root) {
    levels_.clear();
    root_ = root;
}

FolderHandle FolderChain::reach(const std::string &relative, std::optional<FolderAccess> make) {
    if (!root_) {
        setLastError(error::InvalidHandle);
        return nullptr;
    }
    // A separator only on a character boundary: in code page 936 the
    // second byte of many characters is "\".
    std::vector<std::string> parts(1);
    for (std::size_t at = 0; at < relative.size(); ++at) {
        const char c = relative[at];
        if (c == '/' || c == '\\') {
            if (!parts.back().empty())
                parts.emplace_back();
            continue;
        }
        parts.back() += c;
        if (isLeadByte(static_cast<unsigned char>(c)) && at + 1 < relative.size())
            parts.back() += relative[++at];
    }
    if (parts.back().empty())
        parts.pop_back();
    std::size_t kept = 0;
    while (kept < levels_.size() && kept < parts.size() && levels_[kept].name == parts[kept])
        ++kept;
    levels_.erase(levels_.begin() + static_cast<std::ptrdiff_t>(kept), levels_.end());
    for (std::size_t i = kept; i < parts.size(); ++i) {
        const FolderHandle parent = i == 0 ? root_ : levels_[i - 1].folder.get();
        const char *name = parts[i].c_str();
        Folder level(openAt_(parent, name));
        if (!level && make && lastError() == error::FileNotFound) {
            level.reset(createAt_(parent, name, *make));
            if (!level && lastError() == error::AlreadyExists)
                level.reset(openAt_(parent, name)); // made meanwhile
        }
        if (!level)
            return nullptr;
        levels_.push_back({parts[i], std::move(level)});
    }
    setLastError(error::Success);
    return parts.empty() ? root_ : levels_.back().folder.get();
}

} // namespace platform
