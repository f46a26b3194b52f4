# Cross build for 64-bit Windows with Debian's mingw-w64 (posix thread variant:
# the win32 variant has no std::mutex/std::thread, which GoogleTest needs).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(FENNIK_TRIPLE x86_64-w64-mingw32)

set(CMAKE_C_COMPILER   ${FENNIK_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${FENNIK_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER  ${FENNIK_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${FENNIK_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Tests run through Wine; the wrapper keeps the prefix inside the build tree.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../tests/support/wine-run.sh)
