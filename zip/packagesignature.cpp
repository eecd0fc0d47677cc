#include "packagesignature.h"

#include "ziparchive.h"

#include <sodium.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

namespace packagesignature {

const char marker[] = "velmar-package-signature ed25519ph ";
const std::size_t commentSize = sizeof(marker) - 1 + 2 * signatureSize;

namespace {

const char versionField[] = "version=";
constexpr std::size_t markerLength = sizeof(marker) - 1;
constexpr std::size_t hexLength = 2 * signatureSize;
constexpr std::size_t endRecordSize = 22;
constexpr std::size_t blockSize = 65536;
// What a streamed package may end in that is not yet known to be signed:
// the end record and the longest comment.
constexpr std::size_t tailLimit = endRecordSize + 65535;

// Where the archive's end record lies, and what its comment says.
struct Layout {
    Status status = Status::NotAnArchive; // Valid: a signature comment, not yet checked
    uint64_t fileSize = 0;
    uint64_t commentStart = 0; // the comment's first byte, right after its length field
    uint64_t signedEnd = 0;    // the signed bytes end here
    std::array<unsigned char, signatureSize> signature{};
    std::string version;
};

// Keys are typed or pasted and come in either case; a signature comment is
// only ever written in lowercase, and takes no other spelling, so that no
// byte of a signed package can change without the check noticing.
enum class HexCase { Any, Lower };

int hexValue(char c, HexCase letters) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (letters == HexCase::Any && c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool parseHex(const char *hex, std::size_t length, unsigned char *out, std::size_t size,
              HexCase letters = HexCase::Any) {
    if (length != 2 * size)
        return false;
    for (std::size_t i = 0; i < size; ++i) {
        const int high = hexValue(hex[2 * i], letters), low = hexValue(hex[2 * i + 1], letters);
        if (high < 0 || low < 0)
            return false;
        out[i] = static_cast<unsigned char>(high << 4 | low);
    }
    return true;
}

// What follows the marker in a signature comment: the hex digits alone (the
// first form, which signs the bytes before the comment), or "version=",
// the version, a space and the hex digits (which sign all but themselves).
Status parseComment(const std::string &rest, Layout &layout) {
    const std::size_t fieldLength = sizeof versionField - 1;
    if (rest.size() > hexLength) {
        const std::size_t versionEnd = rest.size() - hexLength - 1;
        if (rest.compare(0, fieldLength, versionField) != 0 || versionEnd < fieldLength ||
            rest[versionEnd] != ' ')
            return Status::Malformed;
        layout.version = rest.substr(fieldLength, versionEnd - fieldLength);
        if (!isVersionText(layout.version))
            return Status::Malformed;
        layout.signedEnd = layout.fileSize - hexLength;
    } else {
        layout.signedEnd = layout.commentStart;
    }
    return parseHex(rest.data() + rest.size() - std::min(rest.size(), hexLength),
                    std::min(rest.size(), hexLength), layout.signature.data(), signatureSize,
                    HexCase::Lower)
               ? Status::Valid
               : Status::Malformed;
}

// Finds the end record as the ZIP reader finds it, and requires it and its
// comment to end the file.
Layout locate(platform::FileHandle file) {
    Layout layout;
    zip::PositionedFile reader(file);
    zip::EndRecord end;
    switch (zip::findEndRecord(reader, end)) {
    case zip::EndSearch::Found:
        break;
    case zip::EndSearch::ReadError:
        layout.status = Status::ReadError;
        return layout;
    case zip::EndSearch::Missing:
    case zip::EndSearch::Zip64Unreadable:
        return layout; // no archive the reader would read
    }
    if (end.position + endRecordSize + end.commentLength > end.fileSize)
        return layout; // a comment the file cuts short
    if (!end.reachesEnd) {
        layout.status = Status::DataAfterEnd;
        return layout;
    }
    layout.fileSize = end.fileSize;
    layout.commentStart = end.position + endRecordSize;
    std::string comment(end.commentLength, '\0');
    uint32_t got = 0;
    if (!reader.readAt(layout.commentStart, comment.data(), end.commentLength, got) ||
        got != end.commentLength) {
        layout.status = Status::ReadError;
        return layout;
    }
    if (end.commentLength == 0)
        layout.status = Status::Unsigned;
    else if (comment.compare(0, markerLength, marker) != 0)
        layout.status = Status::ForeignComment;
    else
        layout.status = parseComment(comment.substr(markerLength), layout);
    return layout;
}

// Feeds bytes [0, end) of file to the signature state and copies them to
// copy.
Status digest(platform::FileHandle file, uint64_t end, crypto_sign_state &state,
              platform::FileHandle copy) {
    int64_t position = 0;
    if (!platform::seekFile(file, 0, platform::SeekOrigin::Begin, position))
        return Status::ReadError;
    std::vector<unsigned char> block(blockSize);
    for (uint64_t done = 0; done < end;) {
        const auto want = static_cast<uint32_t>(std::min<uint64_t>(end - done, blockSize));
        uint32_t got = 0;
        if (!platform::readFile(file, block.data(), want, got) || got == 0)
            return Status::ReadError;
        crypto_sign_update(&state, block.data(), got);
        if (!platform::writeFile(copy, block.data(), got))
            return Status::WriteError;
        done += got;
    }
    return Status::Valid;
}

} // namespace

bool isVersionText(const std::string &version) {
    if (version.empty() || version.size() > versionLimit)
        return false;
    // UTF-8 (the registry gets it as text), printable: no byte below 0x20,
    // no DEL, every multi-byte sequence whole.
    for (std::size_t at = 0; at < version.size();) {
        const auto lead = static_cast<unsigned char>(version[at]);
        std::size_t length = lead < 0x80                   ? 1
                             : lead >= 0xC2 && lead < 0xE0 ? 2
                             : lead >= 0xE0 && lead < 0xF0 ? 3
                             : lead >= 0xF0 && lead < 0xF5 ? 4
                                                           : 0;
        if (length == 0 || lead < 0x20 || lead == 0x7F || at + length > version.size())
            return false;
        for (std::size_t i = 1; i < length; ++i) {
            if ((static_cast<unsigned char>(version[at + i]) & 0xC0) != 0x80)
                return false;
        }
        at += length;
    }
    return true;
}

struct StreamingCheck::State {
    bool usable = false;
    crypto_sign_state sign{};
    // The bytes not yet known to be signed (they may be the comment), and
    // how many went into the signature state before them.
    std::vector<unsigned char> held;
    uint64_t fed = 0;
};

StreamingCheck::StreamingCheck() : state_(std::make_unique<State>()) {
    state_->usable = sodium_init() >= 0;
    if (state_->usable)
        crypto_sign_init(&state_->sign);
}

StreamingCheck::~StreamingCheck() = default;

void StreamingCheck::update(const unsigned char *bytes, std::size_t size) {
    std::vector<unsigned char> &held = state_->held;
    held.insert(held.end(), bytes, bytes + size);
    if (held.size() <= tailLimit)
        return;
    const std::size_t settled = held.size() - tailLimit;
    if (state_->usable)
        crypto_sign_update(&state_->sign, held.data(), settled);
    state_->fed += settled;
    held.erase(held.begin(), held.begin() + static_cast<std::ptrdiff_t>(settled));
}

Status StreamingCheck::finish(platform::FileHandle file, const PublicKey &key,
                              std::string &version) {
    version.clear();
    if (!state_->usable)
        return Status::CryptoUnusable;
    const Layout layout = locate(file);
    if (layout.status != Status::Valid)
        return layout.status;
    const std::vector<unsigned char> &held = state_->held;
    // What was streamed must be the file the end was read from.
    if (state_->fed + held.size() != layout.fileSize || layout.signedEnd < state_->fed)
        return Status::ReadError;
    crypto_sign_update(&state_->sign, held.data(), layout.signedEnd - state_->fed);
    if (crypto_sign_final_verify(&state_->sign, layout.signature.data(), key.data()) != 0)
        return Status::WrongSignature;
    version = layout.version;
    return Status::Valid;
}

const char *describe(Status status) {
    switch (status) {
    case Status::Valid:
        return "signature valid";
    case Status::Unsigned:
        return "the package is not signed (it has no archive comment)";
    case Status::NotAnArchive:
        return "not a ZIP archive: no end of central directory record at the end of the file";
    case Status::DataAfterEnd:
        return "data follows the end of central directory record";
    case Status::ForeignComment:
        return "the archive comment is not a package signature";
    case Status::Malformed:
        return "the package signature is malformed";
    case Status::WrongSignature:
        return "the signature does not match this key and these bytes";
    case Status::ReadError:
        return "the package cannot be read";
    case Status::WriteError:
        return "the signed package cannot be written";
    case Status::CryptoUnusable:
        return "libsodium cannot be initialised";
    }
    return "unknown status";
}

bool parsePublicKey(const std::string &hex, PublicKey &key) {
    return parseHex(hex.data(), hex.size(), key.data(), key.size());
}

bool parseSecretKey(const std::string &hex, SecretKey &key) {
    return parseHex(hex.data(), hex.size(), key.data(), key.size());
}

std::string toHex(const unsigned char *bytes, std::size_t size) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(2 * size);
    for (std::size_t i = 0; i < size; ++i) {
        hex += digits[bytes[i] >> 4];
        hex += digits[bytes[i] & 0x0F];
    }
    return hex;
}

bool generateKeyPair(PublicKey &publicKey, SecretKey &secretKey) {
    return sodium_init() >= 0 && crypto_sign_keypair(publicKey.data(), secretKey.data()) == 0;
}

PublicKey publicKeyOf(const SecretKey &secretKey) {
    PublicKey key{};
    crypto_sign_ed25519_sk_to_pk(key.data(), secretKey.data());
    return key;
}

Status verify(platform::FileHandle package, const PublicKey &key, std::string &version) {
    version.clear();
    StreamingCheck check;
    int64_t position = 0;
    if (!platform::seekFile(package, 0, platform::SeekOrigin::Begin, position))
        return Status::ReadError;
    std::vector<unsigned char> block(blockSize);
    uint32_t got = 0;
    do {
        if (!platform::readFile(package, block.data(), blockSize, got))
            return Status::ReadError;
        check.update(block.data(), got);
    } while (got > 0);
    return check.finish(package, key, version);
}

Status sign(platform::FileHandle package, const SecretKey &key, platform::FileHandle signedCopy,
            const std::string &version) {
    if (sodium_init() < 0)
        return Status::CryptoUnusable;
    if (!version.empty() && !isVersionText(version))
        return Status::Malformed;
    const Layout layout = locate(package);
    // An earlier signature of ours is replaced, whoever made it.
    if (layout.status != Status::Unsigned && layout.status != Status::Valid)
        return layout.status;
    // Everything up to the comment length field as it is, then that field
    // with the length of the comment to come, then the comment up to the
    // signature: all of it signed.
    crypto_sign_state state;
    crypto_sign_init(&state);
    const Status copied = digest(package, layout.commentStart - 2, state, signedCopy);
    if (copied != Status::Valid)
        return copied;
    const std::string prefix =
        version.empty() ? std::string(marker) : std::string(marker) + versionField + version + " ";
    const std::size_t length = prefix.size() + hexLength;
    const unsigned char lengthField[2] = {static_cast<unsigned char>(length & 0xFF),
                                          static_cast<unsigned char>(length >> 8)};
    crypto_sign_update(&state, lengthField, sizeof lengthField);
    if (!version.empty())
        crypto_sign_update(&state, reinterpret_cast<const unsigned char *>(prefix.data()),
                           prefix.size());
    unsigned char signature[signatureSize];
    crypto_sign_final_create(&state, signature, nullptr, key.data());
    const std::string comment = prefix + toHex(signature, sizeof signature);
    if (!platform::writeFile(signedCopy, lengthField, sizeof lengthField) ||
        !platform::writeFile(signedCopy, comment.data(), static_cast<uint32_t>(comment.size())))
        return Status::WriteError;
    return Status::Valid;
}

} // namespace packagesignature
