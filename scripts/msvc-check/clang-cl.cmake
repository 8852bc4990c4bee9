# The MSVC-mode check's toolchain: clang-cl, lld-link and the LLVM librarian
# and resource compiler in the places of cl, link, lib and rc, so that CMake
# takes the Microsoft branch of every decision (MSVC is true). Nothing is
# linked: there is no Microsoft runtime here, so try_compile makes libraries.
# The search settings are those of the MinGW-w64 tree of the edition that
# HARW_MSVC_EDITION names (x86, the default, or x64).
set(HARW_MSVC_EDITION x86 CACHE STRING "The edition to configure for: x86 or x64")
# CMake's compiler checks read this file again in projects of their own.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES HARW_MSVC_EDITION HARW_LLVM_BIN)
if(HARW_MSVC_EDITION STREQUAL "x64")
  include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/mingw-x86_64.cmake)
  set(harw_msvc_target x86_64-pc-windows-msvc)
  set(CMAKE_SYSTEM_PROCESSOR AMD64)
else()
  include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/mingw-i686.cmake)
  set(harw_msvc_target i686-pc-windows-msvc)
  set(CMAKE_SYSTEM_PROCESSOR X86)
endif()

set(HARW_LLVM_BIN /usr/lib/llvm-14/bin CACHE PATH "Folder of clang-cl and the LLVM tools")
set(CMAKE_C_COMPILER ${HARW_LLVM_BIN}/clang-cl)
set(CMAKE_CXX_COMPILER ${HARW_LLVM_BIN}/clang-cl)
set(CMAKE_C_COMPILER_TARGET ${harw_msvc_target})
set(CMAKE_CXX_COMPILER_TARGET ${harw_msvc_target})
set(CMAKE_RC_COMPILER ${HARW_LLVM_BIN}/llvm-rc)
set(CMAKE_AR ${HARW_LLVM_BIN}/llvm-lib)
set(CMAKE_LINKER ${HARW_LLVM_BIN}/lld-link)
set(CMAKE_MT ${HARW_LLVM_BIN}/llvm-mt)
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
