// The result codes of the ZIP reader, on their own: the name checks and
// whoever only reports a code need no more of the reader.
#pragma once

#include <cstdint>

// What an operation returns. Values, not flags: exactly one per failure.
using ZipResult = uint32_t;

namespace zipresult {
constexpr ZipResult Ok = 0;
// open: the archive file cannot be opened, or it is no readable ZIP archive
// (end record missing or inconsistent). extractEntry: the target (file or
// folder) could not be created, or the finished file could not take the
// place of the existing target (in use, read-only, a folder). The driver
// force-deletes the target only on this code, so nothing else returns it.
constexpr ZipResult CannotCreate = 0x200;
// Writing the extracted bytes failed (disk full, ...).
constexpr ZipResult WriteFailed = 0x400;
// The entry's local header is missing, unreadable or disagrees with its
// central record.
constexpr ZipResult HeaderMismatch = 0x700;
// The entry's local extra field cannot be read in full.
constexpr ZipResult ExtraUnreadable = 0x800;
// The entry needs what this reader does not do: a method other than stored
// (0), deflated (8), zstd (93) or delta (with a reference folder only), or ZIP64 sizes or offsets
// that its record marks but does not carry. open: the end record marks its values for ZIP64 and
// nothing tells them.
constexpr ZipResult Unsupported = 0x900;
// A central directory record on the way to the entry cannot be read.
constexpr ZipResult CentralUnreadable = 0xA00;
// The entry shares its local header with another entry, or its data reaches
// into the next entry or the central directory: a few bytes of archive that
// would expand into many entries' worth.
constexpr ZipResult Overlapping = 0xB00;
// A folder on the way from the base folder to the target is a link (a
// symbolic link, a junction, any reparse point): nothing is created, replaced
// or entered through it. A link as the target itself is replaced.
constexpr ZipResult LinkInPath = 0xC00;
// An encrypted entry: its check byte does not match (no password is ever
// given, so every encrypted entry fails, here or as corrupted data).
constexpr ZipResult WrongPassword = 0x1000;
// The name would leave the base folder, or a file entry has nothing left
// of its name after sanitising: absolute, ".." components, empty.
constexpr ZipResult UnsafeName = 0x2000;
// The name (stored, converted, or base folder + target) does not fit in 259
// bytes. The temporary file beside the target is never longer than it.
constexpr ZipResult NameTooLong = 0x4000;
// Windows would take the name for something else: a device (CON, PRN, AUX,
// NUL, COM1-9, LPT1-9, CONIN$, CONOUT$, with or without extension, in any
// folder), a stream (":"), a name part that ends in a dot or a space (which
// Windows drops), or it holds a character no Windows name may hold (control
// characters, < > " | ? *). Refused on every build.
constexpr ZipResult ReservedName = 0x8000;
// Bad argument: no handle, an entry index outside the archive, a null or
// empty path, no base folder (the current folder was unknown at open).
constexpr ZipResult BadArgument = 0x10000;
// A name flagged UTF-8 that the local code page cannot represent.
constexpr ZipResult Unrepresentable = 0x20000;
// The handle is not a reader handle.
constexpr ZipResult NotReader = 0x80000;
// open was asked of a reader that already holds an archive. Every open makes
// a reader of its own, so this reader never returns it; the value stays
// reserved so that it keeps its meaning in logs.
constexpr ZipResult AlreadyOpen = 0x1000000;
// The entry's data is corrupted: decompression failed, it cannot be read, or
// it ended before the entry did.
constexpr ZipResult DataError = 0x5000000;
// The entry's data was read in full but its CRC-32 does not match.
constexpr ZipResult CrcMismatch = 0x6000000;
// Delta entries (see zipdelta.h). The installed file the delta was made
// against cannot be opened: missing, a folder, reached through a link, or
// refused (the OS error tells).
constexpr ZipResult BaseMissing = 0x7000000;
// The installed file is there but not the one the delta was made against:
// another size or another SHA-256.
constexpr ZipResult BaseChanged = 0x8000000;
// A delta entry of the first layout: the base is larger than the reader's
// bound for it (256 MiB), the frame's window is, or the memory for either
// is not to be had. Also a zstd entry whose window is beyond the bound, and
// a segment whose slice of the base finds no room in the address space.
constexpr ZipResult BeyondMemoryBound = 0x9000000;
// The delta entry's frame is corrupted or its base field is missing or
// malformed.
constexpr ZipResult DeltaCorrupt = 0xA000000;
} // namespace zipresult
