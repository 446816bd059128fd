# Cross build for 64-bit Windows with Debian's MinGW-w64 (the POSIX-threads variant, which
# has std::thread and std::mutex). Libraries built for Windows (libcurl, GoogleTest) and the
# header-only ones are found only in FENNICK_WINDOWS_SYSROOT, never in the host's /usr,
# whose glibc headers would shadow MinGW's. Test executables run under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

if(NOT FENNICK_WINDOWS_SYSROOT)
  set(FENNICK_WINDOWS_SYSROOT "${CMAKE_BINARY_DIR}/sysroot")
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES FENNICK_WINDOWS_SYSROOT)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 "${FENNICK_WINDOWS_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_CURRENT_LIST_DIR}/wine-emulator.sh")
