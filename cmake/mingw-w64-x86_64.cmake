# Cross build for 64-bit Windows with Debian's mingw-w64.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(FENNIK_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)

# Tests run through Wine; the wrapper keeps the prefix inside the build tree.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run.sh)
