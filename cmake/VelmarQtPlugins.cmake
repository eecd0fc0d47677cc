# velmar_import_qt_plugins(TARGET)
#
# A static Qt has no plugin folder to search at run time: every plugin a
# program needs is linked into it and registered by a generated
# Q_IMPORT_PLUGIN source (Qt's CMake files supply both). Left to itself Qt
# would link every plugin it has into every program. Of the platform plugins
# ours need "windows" for the screen and, in a build with tests or test
# hooks, "offscreen" for the tests that run without one (the release's Qt
# has none); the image formats beyond the built-in PNG and the touch input
# plugin stay out. The style plugins stay as Qt picks them, so the programs
# look as with a shared Qt, but not the styles' standard icons, which none
# of ours shows (resources/qtstyleimages.cpp). A shared Qt finds its plugins
# at run time, and this does nothing.
get_target_property(_velmar_qt_core_type Qt5::Core TYPE)
if(_velmar_qt_core_type STREQUAL "STATIC_LIBRARY")
  set(VELMAR_QT_STATIC ON)
else()
  set(VELMAR_QT_STATIC OFF)
endif()

function(velmar_import_qt_plugins target)
  # Elsewhere a static Qt keeps all of its plugins.
  if(NOT VELMAR_QT_STATIC OR NOT WIN32)
    return()
  endif()
  set(platforms Qt5::QWindowsIntegrationPlugin)
  if(VELMAR_BUILD_TESTS OR VELMAR_TEST_HOOKS)
    list(APPEND platforms Qt5::QOffscreenIntegrationPlugin)
  endif()
  qt5_import_plugins(${target}
    INCLUDE_BY_TYPE platforms ${platforms}
    EXCLUDE_BY_TYPE imageformats
    EXCLUDE_BY_TYPE generic)
  target_sources(${target} PRIVATE ${PROJECT_SOURCE_DIR}/resources/qtstyleimages.cpp)
endfunction()
