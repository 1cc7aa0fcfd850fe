# Makes the Windows package in the MinGW build directory and checks the zip:
# exactly varnhalt_test.exe and README-windows.txt at its top, each the same
# as the built exe and the text in the sources.
#   cmake -DWIN_DIR=... -DZIP=... -DTEXT=... -DMISSING=... -P check_package.cmake
if(MISSING)
  message(FATAL_ERROR "not installed: ${MISSING}; then run cmake again")
endif()

file(REMOVE ${ZIP})  # a zip left from an earlier run must not pass
execute_process(COMMAND ${CMAKE_COMMAND} --build ${WIN_DIR} --target package
                RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "building the package target in ${WIN_DIR} failed (${rc})")
endif()
if(NOT EXISTS ${ZIP})
  message(FATAL_ERROR "no ${ZIP}")
endif()

execute_process(COMMAND ${CMAKE_COMMAND} -E tar tf ${ZIP} OUTPUT_VARIABLE listing
                RESULT_VARIABLE rc)
string(REGEX REPLACE "\n$" "" listing "${listing}")
string(REPLACE "\n" ";" entries "${listing}")
list(SORT entries)
if(NOT rc EQUAL 0 OR NOT entries STREQUAL "README-windows.txt;varnhalt_test.exe")
  message(FATAL_ERROR "${ZIP} holds [${entries}], not exactly the exe and README-windows.txt")
endif()

set(out ${WIN_DIR}/package-check)
file(REMOVE_RECURSE ${out})
file(ARCHIVE_EXTRACT INPUT ${ZIP} DESTINATION ${out})
foreach(pair "varnhalt_test.exe|${WIN_DIR}/varnhalt_test.exe" "README-windows.txt|${TEXT}")
  string(REPLACE "|" ";" pair "${pair}")
  list(GET pair 0 name)
  list(GET pair 1 original)
  execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${out}/${name} ${original}
                  RESULT_VARIABLE differ)
  if(NOT differ EQUAL 0)
    message(FATAL_ERROR "${name} in the zip differs from ${original}")
  endif()
endforeach()
message(STATUS "${ZIP}: ${entries}")
