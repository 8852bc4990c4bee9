# The part of the MinGW-w64 toolchain files that both editions share: Debian's
# posix-thread cross compilers for HARW_MINGW_TRIPLET, a search confined to
# that triplet's own tree, and Wine to run what is built (HARW_WINE_LOADER:
# the 32-bit loader for the x86 edition, the 64-bit one for x64).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${HARW_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${HARW_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${HARW_MINGW_TRIPLET}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${HARW_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Packages (GoogleTest's, say) only from the target's own tree: one found on
# the build machine would be a Linux library.
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Tests of the Windows build run under Wine, with the loader of the edition
# (Debian's /usr/bin/wine picks the 32-bit one whenever it is installed).
set(HARW_WINE_LOADER /usr/lib/wine/${HARW_WINE_LOADER_NAME} CACHE FILEPATH
  "The Wine loader that runs this tree's programs")
set(CMAKE_CROSSCOMPILING_EMULATOR ${HARW_WINE_LOADER})
