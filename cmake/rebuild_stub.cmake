# cmake -DSOURCE=dir -DSTUB=file -DWORK=dir -DTOOLCHAIN=file -P rebuild_stub.cmake
# Builds the stub once more from the same sources in a folder of its own and
# fails unless the result is byte for byte the given stub: the same sources and
# toolchain give the same stub, wherever they are built.
if(NOT EXISTS "${STUB}")
  message(FATAL_ERROR "no stub to compare with: ${STUB} (build the win32 preset)")
endif()
file(REMOVE_RECURSE "${WORK}")
execute_process(COMMAND ${CMAKE_COMMAND} -S "${SOURCE}" -B "${WORK}" --toolchain "${TOOLCHAIN}"
                        -DCMAKE_BUILD_TYPE=MinSizeRel
                RESULT_VARIABLE rc OUTPUT_QUIET)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "configuring the second build failed")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} --build "${WORK}" --target sfxstub -j2
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "the second build failed:\n${out}")
endif()
file(SHA256 "${STUB}" first)
file(SHA256 "${WORK}/src/stub/sfxstub.exe" second)
if(NOT first STREQUAL second)
  message(FATAL_ERROR "two builds of the same sources differ:\n  ${STUB} ${first}\n  "
                      "${WORK}/src/stub/sfxstub.exe ${second}")
endif()
message(STATUS "the stub rebuilt in ${WORK} is the same: ${first}")
file(REMOVE_RECURSE "${WORK}")
