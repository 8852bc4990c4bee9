# GoogleTest for the tests, as the targets gtest, gtest_main, gmock and
# gmock_main: an installed package where this tree's target platform has one
# (vcpkg on Windows, Debian's libgtest-dev natively), otherwise built from a
# source tree (Debian's googletest package) with this tree's compiler. A cross
# build searches for packages below its own sysroot only (cmake/mingw-i686.cmake),
# so a library of the build machine is never taken for a Windows tree.

set(HARW_GTEST_SOURCE /usr/src/googletest CACHE PATH
  "GoogleTest source tree, built when no installed GoogleTest package is found")

find_package(GTest CONFIG QUIET)
if(GTest_FOUND)
  message(STATUS "GoogleTest: the installed package in ${GTest_DIR}")
  foreach(name gtest gtest_main gmock gmock_main)
    if(TARGET GTest::${name})
      add_library(${name} INTERFACE)
      target_link_libraries(${name} INTERFACE GTest::${name})
    endif()
  endforeach()
  return()
endif()

if(NOT EXISTS ${HARW_GTEST_SOURCE}/CMakeLists.txt)
  message(FATAL_ERROR "GoogleTest not found: no installed package (set GTest_DIR, or use "
    "vcpkg's gtest) and no source tree at HARW_GTEST_SOURCE=${HARW_GTEST_SOURCE}. "
    "Point HARW_GTEST_SOURCE at a googletest source tree, or configure with -DBUILD_TESTING=OFF.")
endif()
message(STATUS "GoogleTest: built from ${HARW_GTEST_SOURCE}")
# The Microsoft runtime is linked statically (HarwCompilerOptions.cmake);
# GoogleTest must not switch its own build to the DLL runtime.
set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(${HARW_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
