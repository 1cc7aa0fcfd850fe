# Makes the Linux package with cpack in the build folder and checks it: the
# name varnhalt-test, a maintainer, the libraries it depends on, the stripped
# program in /usr/bin, the README in /usr/share/doc/varnhalt-test, and the
# gzipped manual page, rendered with man as a user would see it.
#   cmake -DBUILD_DIR=... -DVERSION=... -P check_deb_package.cmake
foreach(tool cpack dpkg-deb dpkg-shlibdeps file man)
  find_program(path_${tool} ${tool})
  if(NOT path_${tool})
    message(FATAL_ERROR "${tool} is not installed (scripts/install-deps all)")
  endif()
endforeach()
execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE arch
                OUTPUT_STRIP_TRAILING_WHITESPACE)
set(deb ${BUILD_DIR}/varnhalt-test_${VERSION}_${arch}.deb)
file(REMOVE ${deb})  # a package left from an earlier run must not pass
execute_process(COMMAND ${path_cpack} -G DEB WORKING_DIRECTORY ${BUILD_DIR}
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT rc EQUAL 0 OR NOT EXISTS ${deb})
  message(FATAL_ERROR "cpack -G DEB did not make ${deb} (${rc}):\n${out}")
endif()

execute_process(COMMAND ${path_dpkg-deb} -c ${deb} OUTPUT_VARIABLE listing RESULT_VARIABLE rc)
set(page ./usr/share/man/man1/varnhalt_test.1.gz)
foreach(entry "./usr/bin/varnhalt_test" "./usr/share/doc/varnhalt-test/README.md" ${page})
  string(FIND "${listing}" " ${entry}\n" at)
  if(NOT rc EQUAL 0 OR at EQUAL -1)
    message(FATAL_ERROR "${deb} has no ${entry}:\n${listing}")
  endif()
endforeach()

foreach(field Package Maintainer Depends)
  execute_process(COMMAND ${path_dpkg-deb} -f ${deb} ${field} OUTPUT_VARIABLE value_${field}
                  OUTPUT_STRIP_TRAILING_WHITESPACE)
endforeach()
if(NOT value_Package STREQUAL "varnhalt-test" OR value_Maintainer STREQUAL ""
   OR NOT value_Depends MATCHES "libc6" OR NOT value_Depends MATCHES "libstdc\\+\\+6")
  message(FATAL_ERROR "${deb}: Package '${value_Package}', Maintainer '${value_Maintainer}', "
                      "Depends '${value_Depends}'")
endif()

set(unpacked ${BUILD_DIR}/deb-check)
file(REMOVE_RECURSE ${unpacked})
execute_process(COMMAND ${path_dpkg-deb} -x ${deb} ${unpacked})
execute_process(COMMAND ${path_file} -b ${unpacked}/usr/bin/varnhalt_test OUTPUT_VARIABLE kind)
if(NOT kind MATCHES ", stripped")
  message(FATAL_ERROR "the packaged program is not stripped: ${kind}")
endif()
# Any of groff's warnings (w: every kind) is a fault of the page.
execute_process(COMMAND ${CMAKE_COMMAND} -E env MANWIDTH=80 LC_ALL=C.UTF-8
                        ${path_man} --warnings=w -l ${unpacked}/${page}
                RESULT_VARIABLE rc OUTPUT_VARIABLE shown ERROR_VARIABLE warnings)
if(NOT rc EQUAL 0 OR NOT warnings STREQUAL "")
  message(FATAL_ERROR "man -l ${page}: ${rc}\n${warnings}")
endif()
foreach(part "\nNAME\n" "\nENVIRONMENT\n" "\nFILES\n" "\nEXIT STATUS\n"
        "\nSIGNALS\n" "comlog.bak" "ID_MM_DEVICE_IGNORE" "brltty" "dialout" "varnhalt_test ${VERSION}")
  string(FIND "${shown}" "${part}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "the manual page as man shows it lacks '${part}':\n${shown}")
  endif()
endforeach()
file(REMOVE_RECURSE ${unpacked})
message(STATUS "${deb}: Depends ${value_Depends}")
