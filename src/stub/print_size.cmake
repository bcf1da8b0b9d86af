# cmake -DFILE=path -P print_size.cmake: reports the stub's size after the build.
file(SIZE "${FILE}" size)
math(EXPR kib "(${size} + 1023) / 1024")
message(STATUS "sfxstub.exe: ${size} bytes (${kib} KB)")
