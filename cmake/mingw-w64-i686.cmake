# 32-bit compile check only (record sizes of the 32-bit layouts).
set(CMAKE_SYSTEM_PROCESSOR x86)
set(FENNIK_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
