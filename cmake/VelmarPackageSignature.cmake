# libsodium and the package signature library (zip/packagesignature.*), which
# the publisher's tool pkgsign and an updater with a publisher's key use.
#
# libsodium comes from Debian's libsodium-dev; a Windows build takes the
# static archive in VELMAR_SODIUM_PREFIX (include/, lib/libsodium.a). Without
# libsodium neither is built, and an updater cannot be given a key.
set(VELMAR_SODIUM_PREFIX "" CACHE PATH "libsodium for the target, when not the system's (a cross build)")
if(VELMAR_SODIUM_PREFIX)
  add_library(velmar_sodium STATIC IMPORTED)
  set_target_properties(velmar_sodium PROPERTIES
    IMPORTED_LOCATION ${VELMAR_SODIUM_PREFIX}/lib/libsodium.a
    INTERFACE_INCLUDE_DIRECTORIES ${VELMAR_SODIUM_PREFIX}/include
    INTERFACE_COMPILE_DEFINITIONS SODIUM_STATIC)
elseif(NOT CMAKE_CROSSCOMPILING)
  find_package(PkgConfig QUIET)
  if(PKG_CONFIG_FOUND)
    pkg_check_modules(SODIUM QUIET IMPORTED_TARGET libsodium)
  endif()
  if(SODIUM_FOUND)
    add_library(velmar_sodium INTERFACE)
    target_link_libraries(velmar_sodium INTERFACE PkgConfig::SODIUM)
  endif()
endif()

if(TARGET velmar_sodium)
  add_library(packagesignature STATIC
    ${CMAKE_SOURCE_DIR}/zip/packagesignature.h ${CMAKE_SOURCE_DIR}/zip/packagesignature.cpp)
  target_include_directories(packagesignature PUBLIC ${CMAKE_SOURCE_DIR}/zip)
  target_link_libraries(packagesignature PUBLIC platform PRIVATE zipreader velmar_sodium)
else()
  message(STATUS "libsodium not found: no pkgsign, no signed update packages")
endif()

# velmar_update_package_check(TARGET [KEY_FOLDER]): gives an updater (or a
# test of update_core) its package check; KEY_FOLDER holds the packagekey.h
# of a key (the test key's comes from the target test_signing_key), none
# means no signature check.
function(velmar_update_package_check target)
  if(ARGV1)
    target_sources(${target} PRIVATE ${CMAKE_SOURCE_DIR}/engine/packagecheck.cpp
                                     ${CMAKE_SOURCE_DIR}/engine/packagecheck_signed.cpp)
    target_include_directories(${target} PRIVATE ${ARGV1})
    target_link_libraries(${target} PRIVATE packagesignature)
  else()
    target_sources(${target} PRIVATE ${CMAKE_SOURCE_DIR}/engine/packagecheck.cpp
                                     ${CMAKE_SOURCE_DIR}/engine/packagecheck_unsigned.cpp)
  endif()
endfunction()
