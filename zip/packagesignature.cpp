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

constexpr std::size_t endRecordSize = 22;
constexpr std::size_t blockSize = 65536;

// Where the archive's end record lies, and what its comment says.
struct Layout {
    Status status = Status::NotAnArchive; // Valid: a signature comment, not yet checked
    int64_t commentStart = 0;             // the signed bytes end here
    std::array<unsigned char, signatureSize> signature{};
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
    layout.commentStart = static_cast<int64_t>(end.position + endRecordSize);
    std::vector<char> comment(end.commentLength);
    uint32_t got = 0;
    if (!reader.readAt(end.position + endRecordSize, comment.data(), end.commentLength, got) ||
        got != end.commentLength) {
        layout.status = Status::ReadError;
        return layout;
    }
    const std::size_t markerLength = sizeof(marker) - 1;
    if (end.commentLength == 0)
        layout.status = Status::Unsigned;
    else if (end.commentLength < markerLength ||
             std::memcmp(comment.data(), marker, markerLength) != 0)
        layout.status = Status::ForeignComment;
    else if (!parseHex(comment.data() + markerLength, end.commentLength - markerLength,
                       layout.signature.data(), signatureSize, HexCase::Lower))
        layout.status = Status::Malformed;
    else
        layout.status = Status::Valid;
    return layout;
}

// Feeds bytes [0, end) of file to the signature state, and copies them to
// copy when there is one.
Status digest(platform::FileHandle file, int64_t end, crypto_sign_state &state,
              platform::FileHandle copy) {
    int64_t position = 0;
    if (!platform::seekFile(file, 0, platform::SeekOrigin::Begin, position))
        return Status::ReadError;
    std::vector<unsigned char> block(blockSize);
    while (position < end) {
        const auto want = static_cast<uint32_t>(std::min<int64_t>(end - position, blockSize));
        uint32_t got = 0;
        if (!platform::readFile(file, block.data(), want, got) || got == 0)
            return Status::ReadError;
        crypto_sign_update(&state, block.data(), got);
        if (copy && !platform::writeFile(copy, block.data(), got))
            return Status::WriteError;
        position += got;
    }
    return Status::Valid;
}

} // namespace

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

Status verify(platform::FileHandle package, const PublicKey &key) {
    if (sodium_init() < 0)
        return Status::CryptoUnusable;
    const Layout layout = locate(package);
    if (layout.status != Status::Valid)
        return layout.status;
    crypto_sign_state state;
    crypto_sign_init(&state);
    const Status read = digest(package, layout.commentStart, state, nullptr);
    if (read != Status::Valid)
        return read;
    return crypto_sign_final_verify(&state, layout.signature.data(), key.data()) == 0
               ? Status::Valid
               : Status::WrongSignature;
}

Status sign(platform::FileHandle package, const SecretKey &key, platform::FileHandle signedCopy) {
    if (sodium_init() < 0)
        return Status::CryptoUnusable;
    const Layout layout = locate(package);
    // An earlier signature of ours is replaced, whoever made it.
    if (layout.status != Status::Unsigned && layout.status != Status::Valid)
        return layout.status;
    // Everything up to the comment length field as it is, then that field
    // with the length of the comment to come: both are signed.
    crypto_sign_state state;
    crypto_sign_init(&state);
    const Status copied = digest(package, layout.commentStart - 2, state, signedCopy);
    if (copied != Status::Valid)
        return copied;
    const unsigned char length[2] = {static_cast<unsigned char>(commentSize & 0xFF),
                                     static_cast<unsigned char>(commentSize >> 8)};
    crypto_sign_update(&state, length, sizeof length);
    unsigned char signature[signatureSize];
    crypto_sign_final_create(&state, signature, nullptr, key.data());
    const std::string comment = marker + toHex(signature, sizeof signature);
    if (!platform::writeFile(signedCopy, length, sizeof length) ||
        !platform::writeFile(signedCopy, comment.data(), static_cast<uint32_t>(comment.size())))
        return Status::WriteError;
    return Status::Valid;
}

} // namespace packagesignature
