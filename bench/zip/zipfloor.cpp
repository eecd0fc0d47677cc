// zipfloor ARCHIVE
//
// The floor under any extraction of ARCHIVE: every entry inflated (or, when
// stored, only checksummed) straight from the mapped file and its CRC-32
// computed, with no file written and no copy in between. The reader's archive
// layer only finds the entries; what is timed is zlib. Prints the number of
// entries and bytes; exits 1 when an entry fails.
#include "ziparchive.h"

#include <zlib.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <memory>

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: zipfloor ARCHIVE\n");
        return 2;
    }
    const std::unique_ptr<zip::Archive> archive = zip::Archive::open(argv[1]);
    const int fd = ::open(argv[1], O_RDONLY);
    struct stat st {};
    if (!archive || fd < 0 || ::fstat(fd, &st) != 0) {
        std::fprintf(stderr, "zipfloor: cannot open %s\n", argv[1]);
        return 1;
    }
    const auto size = static_cast<std::size_t>(st.st_size);
    void *mapped = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
    if (mapped == MAP_FAILED)
        return 1;
    const auto *bytes = static_cast<const unsigned char *>(mapped);
    // The archive starts where the file does in the benchmark's archives.
    static unsigned char out[zip::BlockSize];
    z_stream stream{};
    inflateInit2(&stream, -MAX_WBITS);
    uint64_t total = 0;
    for (int i = 0; i < archive->entryCount(); ++i) {
        if (!archive->walkTo(i) || archive->checkLocalHeader() != 0)
            return 1;
        const zip::EntryLocation &entry = archive->location();
        if (entry.dataPos + entry.compressedSize > size)
            return 1;
        const unsigned char *data = bytes + entry.dataPos;
        uLong crc = crc32(0, nullptr, 0);
        if (entry.method == 0) {
            crc = crc32(crc, data, entry.compressedSize);
            total += entry.compressedSize;
        } else {
            inflateReset(&stream);
            stream.next_in = const_cast<unsigned char *>(data);
            stream.avail_in = entry.compressedSize;
            int status = Z_OK;
            while (status == Z_OK) {
                stream.next_out = out;
                stream.avail_out = sizeof out;
                status = inflate(&stream, Z_NO_FLUSH);
                crc = crc32(crc, out, static_cast<uInt>(sizeof out - stream.avail_out));
                total += sizeof out - stream.avail_out;
            }
            if (status != Z_STREAM_END)
                return 1;
        }
        if (crc != entry.crc)
            return 1;
    }
    inflateEnd(&stream);
    std::printf("%d entries, %llu bytes\n", archive->entryCount(),
                static_cast<unsigned long long>(total));
    return 0;
}
