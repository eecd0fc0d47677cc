// zipextract ARCHIVE DESTDIR
//
// Opens ARCHIVE, makes DESTDIR its base folder, asks for the entry count, then
// describes and extracts every entry in order under its own name, as the
// updater's extraction driver does (without its forced deletion and retries).
// The first failing operation is printed with its entry and result code, and
// the exit code is 1; 0 means every entry was extracted; 2 is a usage error.
#include "zipreader.h"

#include <cstdio>
#include <cstring>

namespace {

const char usageText[] =
    "usage: zipextract ARCHIVE DESTDIR\n"
    "Extracts every entry of the ZIP archive ARCHIVE under the folder DESTDIR, the\n"
    "way the updater does. Exit code 0: everything extracted; 1: an operation\n"
    "failed (printed with its entry and result code); 2: wrong arguments.\n";

int usage(std::FILE *to, int code) {
    std::fputs(usageText, to);
    return code;
}

bool isOption(const char *argument) {
    return std::strncmp(argument, "--", 2) == 0;
}

int fail(const char *operation, const char *what, ZipResult code) {
    std::fprintf(stderr, "zipextract: %s failed for %s: 0x%X\n", operation, what, code);
    return 1;
}

int failEntry(const char *operation, int index, const char *name, ZipResult code) {
    std::fprintf(stderr, "zipextract: %s failed for entry %d \"%s\": 0x%X\n", operation, index,
                 name, code);
    return 1;
}

} // namespace

int main(int argc, char **argv) {
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0)
        return usage(stdout, 0);
    if (argc != 3 || isOption(argv[1]) || isOption(argv[2]))
        return usage(stderr, 2);
    ZipResult result = zipresult::Ok;
    ZipHandle zip = ZipReader::open(argv[1], &result);
    if (!zip)
        return fail("open", argv[1], result);
    int status = 0;
    ZipEntryInfo info{};
    if ((result = ZipReader::setBaseFolder(zip, argv[2])) != zipresult::Ok) {
        status = fail("setBaseFolder", argv[2], result);
    } else if ((result = ZipReader::entryInfo(zip, -1, info)) != zipresult::Ok) {
        status = failEntry("entryInfo", -1, "", result);
    } else {
        const int total = info.index;
        for (int i = 0; i < total && status == 0; ++i) {
            if ((result = ZipReader::entryInfo(zip, i, info)) != zipresult::Ok)
                status = failEntry("entryInfo", i, "", result);
            else if ((result = ZipReader::extractEntry(zip, i, info.name)) != zipresult::Ok)
                status = failEntry("extractEntry", i, info.name, result);
        }
    }
    ZipReader::close(zip);
    return status;
}
