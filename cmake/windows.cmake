# Settings of the Windows build (cross-built with cmake/mingw-w64-x86_64.cmake).
enable_language(RC)

# Unicode Win32 calls, Windows 10 declarations, and a lean <windows.h>.
add_compile_definitions(UNICODE _UNICODE _WIN32_WINNT=0x0A00 WIN32_LEAN_AND_MEAN NOMINMAX)

# Every executable carries its C and C++ runtimes and winpthread, so it needs no DLL that
# Windows does not ship.
add_link_options(-static -static-libgcc -static-libstdc++)

find_package(CURL CONFIG REQUIRED)

find_path(HTTPLIB_INCLUDE_DIR httplib.h REQUIRED)
add_library(fennick_httplib INTERFACE)
target_include_directories(fennick_httplib INTERFACE "${HTTPLIB_INCLUDE_DIR}")
target_link_libraries(fennick_httplib INTERFACE ws2_32)
