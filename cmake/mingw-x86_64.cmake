# Cross-building the Windows product with Debian's mingw-w64 for 64-bit
# Windows: for the Windows lane on machines whose kernel cannot run 32-bit
# programs, where only a 64-bit Wine runs. The product's sources are the
# same; it keeps to the 32-bit registry view either way.
set(VELMAR_MINGW_ARCH x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
