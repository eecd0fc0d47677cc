# cmake -DBIN=<programs folder> -DWORK=<scratch folder> -P usage_test.cmake
set(failures 0)

# run(PROGRAM EXPECTED_EXIT STREAM ARGS...): runs PROGRAM from BIN in WORK;
# the usage must come on STREAM (stdout or stderr) and the other must stay
# empty.
function(run program expected stream)
  execute_process(COMMAND ${BIN}/${program} ${ARGN}
    WORKING_DIRECTORY ${WORK}
    RESULT_VARIABLE code OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 20)
  if(stream STREQUAL "stdout")
    set(usage "${out}")
    set(other "${err}")
  else()
    set(usage "${err}")
    set(other "${out}")
  endif()
  set(problems "")
  if(NOT code STREQUAL "${expected}")
    string(APPEND problems " exit ${code} instead of ${expected};")
  endif()
  if(NOT usage MATCHES "^usage: ${program} ")
    string(APPEND problems " no usage on ${stream};")
  endif()
  if(NOT other STREQUAL "")
    string(APPEND problems " unexpected output \"${other}\";")
  endif()
  if(problems)
    message(SEND_ERROR "${program} ${ARGN}:${problems}")
  endif()
endfunction()

file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})
file(WRITE ${WORK}/held.txt "held")

foreach(program zipextract hold standin-cmd pkgdelta)
  run(${program} 0 stdout --help)
  run(${program} 2 stderr)
  run(${program} 2 stderr --no-such-option)
endforeach()

run(zipextract 2 stderr only-one-argument)
run(zipextract 2 stderr --verbose archive.zip out)
run(zipextract 2 stderr archive.zip out third)
run(hold 2 stderr file)
run(hold 2 stderr lock held.txt 1)
run(hold 2 stderr file held.txt soon)
run(hold 2 stderr file held.txt 1O)
run(hold 2 stderr mutex name 1 extra)
run(standin-cmd 2 stderr first.bat second.bat)
run(pkgdelta 0 stdout make --help)
run(pkgdelta 2 stderr make old new)
run(pkgdelta 2 stderr check package.zip)
run(pkgdelta 2 stderr check package.zip installation extra)

# Nothing was made by the refused runs.
file(GLOB left RELATIVE ${WORK} ${WORK}/*)
if(NOT left STREQUAL "held.txt")
  message(SEND_ERROR "the refused runs left: ${left}")
endif()
