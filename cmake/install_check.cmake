# cmake -DBUILD=dir -DWORK=dir -P install_check.cmake
# Installs the build into a fresh prefix and uses the installed builder as a
# user would: no --stub and no SFX_STUB, so it must find the installed stub
# beside its bin folder; the self-extractor it makes must test correct.
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}/input")
file(WRITE "${WORK}/input/readme.txt" "installed builder\n")
execute_process(COMMAND ${CMAKE_COMMAND} --install "${BUILD}" --prefix "${WORK}/prefix"
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cmake --install failed:\n${out}")
endif()
foreach(installed bin/sfxbuild share/sfxbuild/sfxstub.exe share/man/man1/sfxbuild.1
                  share/bash-completion/completions/sfxbuild)
  if(NOT EXISTS "${WORK}/prefix/${installed}")
    message(FATAL_ERROR "not installed: ${installed}")
  endif()
endforeach()
set(builder "${WORK}/prefix/bin/sfxbuild")
execute_process(COMMAND ${CMAKE_COMMAND} -E env --unset=SFX_STUB
                        "${builder}" create -q -o "${WORK}/setup.exe" "${WORK}/input/readme.txt"
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "the installed builder failed:\n${out}")
endif()
execute_process(COMMAND "${builder}" test "${WORK}/setup.exe"
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT rc EQUAL 0 OR NOT out MATCHES "1 entry tested, all OK")
  message(FATAL_ERROR "the installed builder's self-extractor does not test right:\n${out}")
endif()
# The manual page is the help text: every option is in it.
file(READ "${WORK}/prefix/share/man/man1/sfxbuild.1" manual)
foreach(option --exclude --files-from --dry-run --json --overwrite)
  # The page writes each dash of an option as "\-".
  string(REPLACE "-" "\\-" escaped "${option}")
  string(FIND "${manual}" "${escaped}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "the manual page does not know ${option}")
  endif()
endforeach()
file(READ "${WORK}/setup.exe" head LIMIT 2 HEX)
if(NOT head STREQUAL "4d5a")
  message(FATAL_ERROR "the self-extractor is no MZ image")
endif()
file(REMOVE_RECURSE "${WORK}")
message(STATUS "installed into a fresh prefix, the builder finds its stub")
