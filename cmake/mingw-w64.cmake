# Toolchain for the windows build: 64-bit Windows programs cross-compiled with Debian's
# MinGW-w64. The -posix compilers use the POSIX thread model, which std::thread and std::mutex
# need with GCC 12 (the -win32 ones have no std::thread).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_VERSION 10.0)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(DPAL_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${DPAL_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${DPAL_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${DPAL_MINGW_TRIPLE}-windres)
set(CMAKE_AR ${DPAL_MINGW_TRIPLE}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${DPAL_MINGW_TRIPLE}-ranlib CACHE FILEPATH "")
set(CMAKE_OBJDUMP ${DPAL_MINGW_TRIPLE}-objdump CACHE FILEPATH "")

# Headers and libraries come from the MinGW-w64 sysroot only; programs from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${DPAL_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test programs run under Wine, in a prefix the build prepares (see cmake/wine-run).
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run)
