// Signed update packages.
//
// A package carries its publisher's signature inside itself, so that it stays
// one ordinary ZIP file that every zip tool lists and extracts: the archive
// comment of its end-of-central-directory record is `marker` followed by the
// signature in 128 lowercase hex digits. The signature covers every byte of
// the file before the comment, the comment length field included (it holds
// the comment's final length when the signature is made). The scheme is
// Ed25519ph (Ed25519 over the SHA-512 of those bytes), so that a package is
// read in blocks and never needs to fit in memory.
//
// The end record must end the file: bytes after it (a second archive glued
// on, a truncated comment) are refused, as they would let the reader and the
// signature see different archives.
#pragma once

#include "platform.h"

#include <array>
#include <cstddef>
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
// The length of a signature comment: the marker and the hex digits.
extern const std::size_t commentSize;

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
Status verify(platform::FileHandle package, const PublicKey &key);

// Writes the package open in package, signed by key, into signedCopy (at its
// current position): the package itself with the signature comment in place
// of no comment or of an earlier signature. Any other archive comment, and
// data after the end record, are refused with nothing written.
Status sign(platform::FileHandle package, const SecretKey &key, platform::FileHandle signedCopy);

} // namespace packagesignature
