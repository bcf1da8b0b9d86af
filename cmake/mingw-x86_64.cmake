# Cross-compiles for 64-bit Windows with mingw-w64: the end-to-end road on
# machines that cannot run 32-bit x86 code.
set(SFX_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
