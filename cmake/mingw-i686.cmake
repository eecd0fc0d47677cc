# Cross-building the Windows product with Debian's mingw-w64: 32-bit, as it
# ships.
set(VELMAR_MINGW_ARCH i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
