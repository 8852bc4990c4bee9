# CPack: a Debian package from the native tree (harwpack, both editions of
# the program, the man page and the README) and a zip from each Windows tree
# (its harwpack.exe, both editions of the program, the README). `cpack` in the
# tree's folder makes it.

set(CPACK_PACKAGE_NAME HarwUpdater)
set(CPACK_PACKAGE_VENDOR "Harrowvindalet")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Self-contained update packages for Windows, and the packer that makes them")
set(CPACK_PACKAGE_DESCRIPTION
"harwpack turns an installation folder into a signed update package: the
HarwUpdater.exe program with an NSIS self-extractor and a parameter string
behind it. Started on Windows, the package unpacks the folder, runs its setup
program with the console hidden, removes the folder, ends with the setup
program's exit code and logs every step.")
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
set(HARW_PACKAGE_CONTACT "HarwUpdater maintainers <maintainers@harwupdater.invalid>" CACHE STRING
  "Maintainer of the Debian package")
set(CPACK_PACKAGE_CONTACT ${HARW_PACKAGE_CONTACT})
# Symbols are of no use to the people who install the packages.
set(CPACK_STRIP_FILES ON)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  # Named by the edition of its harwpack.exe; both hold both programs.
  if(HARW_EDITION STREQUAL "x64")
    set(CPACK_PACKAGE_FILE_NAME HarwUpdater-${PROJECT_VERSION}-win64)
  else()
    set(CPACK_PACKAGE_FILE_NAME HarwUpdater-${PROJECT_VERSION}-win32)
  endif()
  include(CPack)
  return()
endif()

if(NOT HARW_PROGRAM)
  return()  # a Debian package without the program would not work (see HarwInstall.cmake)
endif()
set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_PACKAGE_NAME harwupdater)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The libraries harwpack links come from dpkg-shlibdeps (libcrypto and the
# C and C++ runtime; zstd is compiled in, the vendored release);
# osslsigncode signs the packages; makensis builds NSIS self-extractors for
# --extractor nsis; Wine runs the packages for a try.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "osslsigncode")
# NSIS only for --extractor nsis: the builtin extractor is installed with harwpack.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "nsis, wine")
include(CPack)
