# Cross-compiles the x64 edition (64-bit Windows) with the mingw-w64
# posix-thread compilers; its tests run under 64-bit Wine (wine64), which
# every x86-64 machine can start.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(HARW_MINGW_TRIPLET x86_64-w64-mingw32)
set(HARW_WINE_LOADER_NAME wine64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
