# velmar_add_program(NAME SOURCES ... LIBRARIES ...)
#
# One of the three programs. On Windows it is a GUI program (no console) whose
# manifest asks for administrator rights, high-DPI scaling and long paths,
# which carries the product icon and the file details Explorer shows (the
# version is the project's); elsewhere a plain executable.
set(VELMAR_RESOURCE_DIR ${CMAKE_SOURCE_DIR}/resources)
set(VELMAR_COMPANY "Orvane")
set(VELMAR_PRODUCT "Orvane客户端")
set(VELMAR_DESCRIPTION_update "Orvane自动升级程序")
set(VELMAR_DESCRIPTION_reseat "Orvane升级更新程序")
set(VELMAR_DESCRIPTION_uninstall "Orvane卸载程序")

function(velmar_add_program name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBRARIES" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBRARIES})
  velmar_import_qt_plugins(${name})
  if(WIN32)
    set(VELMAR_MANIFEST ${CMAKE_SOURCE_DIR}/cmake/program.manifest)
    set(VELMAR_ICON ${VELMAR_RESOURCE_DIR}/velmar.ico)
    set(VELMAR_PROGRAM ${name})
    set(VELMAR_DESCRIPTION "${VELMAR_DESCRIPTION_${name}}")
    configure_file(${CMAKE_SOURCE_DIR}/cmake/program.rc.in
                   ${CMAKE_CURRENT_BINARY_DIR}/${name}.rc @ONLY)
    target_sources(${name} PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/${name}.rc)
    set_target_properties(${name} PROPERTIES WIN32_EXECUTABLE ON)
    if(MINGW)
      # No MinGW runtime DLLs to ship or to find under Wine.
      target_link_options(${name} PRIVATE -static)
    endif()
  endif()
endfunction()
