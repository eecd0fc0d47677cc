#include "zipdelta.h"

namespace zip {

// base is zstd's prefix; long-distance matching finds what moved across the
// whole file; the window reaches from the end of next back to the start of
// base, within the updater's bound.
bool makeDeltaFrame(const std::string &base, const std::string &next, int level,
                    std::string &frame) {
    int windowLog = 10; // zstd's smallest window, 1 KiB
    while (windowLog < MaxWindowLog && (uint64_t{1} << windowLog) < base.size() + next.size())
        ++windowLog;
    ZSTD_CCtx *context = ZSTD_createCCtx();
    if (!context)
        return false;
    frame.resize(ZSTD_compressBound(next.size()));
    std::size_t made = 0;
    const bool set =
        !ZSTD_isError(ZSTD_CCtx_setParameter(context, ZSTD_c_compressionLevel, level)) &&
        !ZSTD_isError(ZSTD_CCtx_setParameter(context, ZSTD_c_enableLongDistanceMatching, 1)) &&
        !ZSTD_isError(ZSTD_CCtx_setParameter(context, ZSTD_c_windowLog, windowLog)) &&
        !ZSTD_isError(ZSTD_CCtx_refPrefix(context, base.data(), base.size()));
    if (set)
        made = ZSTD_compress2(context, &frame[0], frame.size(), next.data(), next.size());
    ZSTD_freeCCtx(context);
    if (!set || ZSTD_isError(made))
        return false;
    frame.resize(made);
    return true;
}

} // namespace zip
