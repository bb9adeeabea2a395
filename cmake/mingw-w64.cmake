# Cross-compiling for 64-bit Windows with Debian's mingw-w64 (g++-mingw-w64-x86-64-posix): the
# posix thread model, which std::thread and std::mutex need.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(UQ_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${UQ_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${UQ_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${UQ_MINGW_PREFIX}-windres)

# Libraries and headers come from the mingw-w64 tree alone, programs from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${UQ_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Statically linked: the programs import nothing but Windows' own DLLs (no libstdc++-6.dll,
# libgcc_s_seh-1.dll or libwinpthread-1.dll to ship beside them).
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
