// Signed update packages.
//
// A package carries its publisher's signature inside itself, so that it stays
// one ordinary ZIP file that every zip tool lists and extracts: the archive
// comment of its end-of-central-directory record is `marker`, then
// "version=" with the release's version and a space, then the signature in
// 128 lowercase hex digits. The signature covers every byte of the file but
// its own hex digits: the archive, the comment length field (it holds the
// comment's final length when the signature is made) and the version, so
// that the version an updater records is the publisher's as well. The scheme
// is Ed25519ph (Ed25519 over the SHA-512 of those bytes), so that a package
// is read in blocks and never needs to fit in memory.
//
// Updaters from before versions were signed take only the first form of the
// comment, `marker` and the hex digits, signed over every byte before the
// comment: the package that brings them a newer updater is signed so.
//
// The end record must end the file: bytes after it (a second archive glued
// on, a truncated comment) are refused, as they would let the reader and the
// signature see different archives.
#pragma once

#include "platform.h"

#include <array>
#include <cstddef>
#include <memory>
#include <string>

namespace packagesignature {

constexpr std::size_t publicKeySize = 32;
constexpr std::size_t secretKeySize = 64;
constexpr std::size_t signatureSize = 64;

using PublicKey = std::array<unsigned char, publicKeySize>;
using SecretKey = std::array<unsigned char, secretKeySize>;

// The ASCII text a signature comment begins with. It holds no byte of the end
// record's signature (50 4B 05 06), and neither do hex digits, so no end
// record can be hidden in a signature comment.
extern const char marker[];
// The length of a signature comment without a version: the marker and the
// hex digits.
extern const std::size_t commentSize;
// The longest version a signature binds, in bytes.
constexpr std::size_t versionLimit = 64;

// A version a signature can bind: 1 to versionLimit bytes of UTF-8 text,
// no control characters.
bool isVersionText(const std::string &version);

enum class Status {
    Valid,          // signed by the key asked about (sign: the package now is)
    Unsigned,       // no archive comment
    NotAnArchive,   // no end record at the end of the file
    DataAfterEnd,   // bytes follow the end record and its comment
    ForeignComment, // an archive comment that is not a signature
    Malformed,      // a signature comment of the wrong length or not hex
    WrongSignature, // a signature, but not by this key over these bytes
    ReadError,      // the file could not be read
    WriteError,     // the signed copy could not be written
    CryptoUnusable, // libsodium could not start
};

// One line in English, for the publisher's tool.
const char *describe(Status status);

// A key from hex digits (either case, nothing else); false for anything else.
bool parsePublicKey(const std::string &hex, PublicKey &key);
bool parseSecretKey(const std::string &hex, SecretKey &key);
// Lowercase hex digits.
std::string toHex(const unsigned char *bytes, std::size_t size);

// A new key pair from the system's random source.
bool generateKeyPair(PublicKey &publicKey, SecretKey &secretKey);
PublicKey publicKeyOf(const SecretKey &secretKey);

// Checks the signature of the package open in package (read from its start).
// version receives the version it binds ("" for the first form).
Status verify(platform::FileHandle package, const PublicKey &key, std::string &version);

// The same check for a package read once, front to back, by its caller (who
// copies it, say): every byte goes through update in order, then finish
// reads the end record and the comment from file, the same bytes (the copy),
// and decides.
class StreamingCheck {
public:
    StreamingCheck();
    ~StreamingCheck();
    StreamingCheck(const StreamingCheck &) = delete;
    StreamingCheck &operator=(const StreamingCheck &) = delete;

    void update(const unsigned char *bytes, std::size_t size);
    Status finish(platform::FileHandle file, const PublicKey &key, std::string &version);

private:
    struct State;
    std::unique_ptr<State> state_;
};

// Writes the package open in package, signed by key, into signedCopy (at its
// current position): the package itself with the signature comment in place
// of no comment or of an earlier signature. Any other archive comment, and
// data after the end record, are refused with nothing written; so is a
// version that isVersionText refuses (Malformed). An empty version makes the
// first form, for the updaters before signed versions.
Status sign(platform::FileHandle package, const SecretKey &key, platform::FileHandle signedCopy,
            const std::string &version);

} // namespace packagesignature
