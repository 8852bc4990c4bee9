# Cross-compiles the x86 edition (32-bit Windows) with the mingw-w64
# posix-thread compilers; its tests run under 32-bit Wine.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(HARW_MINGW_TRIPLET i686-w64-mingw32)
set(HARW_WINE_LOADER_NAME wine)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
