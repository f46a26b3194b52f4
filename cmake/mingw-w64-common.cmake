# Shared by the mingw-w64 toolchain files: set FENNIK_TRIPLE and
# CMAKE_SYSTEM_PROCESSOR first. The posix thread variant of the compilers is
# needed: the win32 variant has no std::mutex/std::thread, which GoogleTest needs.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER   ${FENNIK_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${FENNIK_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER  ${FENNIK_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${FENNIK_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
