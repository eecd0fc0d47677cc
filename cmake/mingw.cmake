# Shared by the two MinGW toolchain files: VELMAR_MINGW_ARCH (i686 or x86_64)
# is set by the one that includes this. Posix threads, static linking; Qt for
# the target: pass -DVELMAR_QT_MINGW_PREFIX=<its prefix>; libdeflate:
# -DVELMAR_LIBDEFLATE_MINGW_PREFIX=<its prefix>; zstd:
# -DVELMAR_ZSTD_MINGW_PREFIX=<its prefix>.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${VELMAR_MINGW_ARCH})
set(CMAKE_C_COMPILER ${VELMAR_MINGW_ARCH}-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER ${VELMAR_MINGW_ARCH}-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER ${VELMAR_MINGW_ARCH}-w64-mingw32-windres)

# Every program linked statically: no MinGW runtime DLLs (libstdc++,
# libgcc, winpthread) and no zlib1.dll to ship beside it or to find under
# Wine.
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
set(ZLIB_USE_STATIC_LIBS ON)

set(CMAKE_FIND_ROOT_PATH /usr/${VELMAR_MINGW_ARCH}-w64-mingw32)
if(VELMAR_QT_MINGW_PREFIX)
  list(APPEND CMAKE_FIND_ROOT_PATH ${VELMAR_QT_MINGW_PREFIX})
endif()
if(VELMAR_LIBDEFLATE_MINGW_PREFIX)
  list(APPEND CMAKE_FIND_ROOT_PATH ${VELMAR_LIBDEFLATE_MINGW_PREFIX})
endif()
if(VELMAR_ZSTD_MINGW_PREFIX)
  list(APPEND CMAKE_FIND_ROOT_PATH ${VELMAR_ZSTD_MINGW_PREFIX})
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# ctest runs the Windows executables under Wine, in a prefix of the build's.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh)
