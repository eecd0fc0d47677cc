# The signing key of a test build, made anew by the build with its pkgsign:
#   cmake -DPKGSIGN=... -DFOLDER=... -DTEMPLATE=.../packagekey.h.in -P testsigningkey.cmake
# FOLDER receives secret.key, with which the tests sign their packages, and
# packagekey.h with the public half for the test updater. The secret half
# stays in the build folder.
file(REMOVE ${FOLDER}/secret.key)
file(MAKE_DIRECTORY ${FOLDER})
execute_process(COMMAND ${PKGSIGN} keygen ${FOLDER}/secret.key
  OUTPUT_VARIABLE VELMAR_PACKAGE_PUBLIC_KEY
  OUTPUT_STRIP_TRAILING_WHITESPACE
  RESULT_VARIABLE result)
if(NOT result EQUAL 0 OR NOT VELMAR_PACKAGE_PUBLIC_KEY MATCHES "^[0-9a-f]+$")
  message(FATAL_ERROR "pkgsign keygen failed (${result}): ${VELMAR_PACKAGE_PUBLIC_KEY}")
endif()
configure_file(${TEMPLATE} ${FOLDER}/packagekey.h @ONLY)
