# What the two mingw-w64 toolchain files share; each sets SFX_MINGW_TRIPLE and
# CMAKE_SYSTEM_PROCESSOR first. The compilers of the POSIX thread model: the
# builder built for Windows runs std::thread (the stub uses no threads and
# comes out the same either way).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${SFX_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${SFX_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${SFX_MINGW_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${SFX_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
