# Where `cmake --install` puts things. Natively (the Debian package):
#   bin/harwpack, share/harwupdater/HarwUpdater.exe, the man page and the
#   README under share/. harwpack finds the program at ../share/harwupdater
#   from its own folder (packer/install_paths.cpp), so these two stay fixed.
# On Windows (the zip): harwpack.exe, HarwUpdater.exe and README.md side by side.
include(GNUInstallDirs)

if(WIN32)
  set(HARW_INSTALL_BINDIR .)
  set(HARW_INSTALL_PROGRAMDIR .)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION .)
  return()
endif()

set(HARW_INSTALL_BINDIR bin)
set(HARW_INSTALL_PROGRAMDIR share/harwupdater)
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/harwupdater)

# The man page with this version, compressed as Debian keeps man pages (no
# name or time stamp in the gzip header: the same bytes from build to build).
find_program(HARW_GZIP gzip REQUIRED)
configure_file(${PROJECT_SOURCE_DIR}/packer/harwpack.1 ${CMAKE_BINARY_DIR}/man/harwpack.1 @ONLY)
set(harw_man_page ${CMAKE_BINARY_DIR}/man/gz/harwpack.1)
add_custom_command(OUTPUT ${harw_man_page}.gz
  COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_BINARY_DIR}/man/harwpack.1 ${harw_man_page}
  COMMAND ${HARW_GZIP} -9nf ${harw_man_page}
  DEPENDS ${CMAKE_BINARY_DIR}/man/harwpack.1
  COMMENT "Compressing the man page harwpack.1"
  VERBATIM)
add_custom_target(harwpack_man_page ALL DEPENDS ${harw_man_page}.gz)
install(FILES ${harw_man_page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# The program comes from the Windows tree: the native tree cannot build it.
set(HARW_PROGRAM "" CACHE FILEPATH
  "The cross-built HarwUpdater.exe (build/win/bin/HarwUpdater.exe) that is installed and packaged with harwpack")
if(HARW_PROGRAM)
  install(CODE "if(NOT EXISTS \"${HARW_PROGRAM}\")
  message(FATAL_ERROR \"HARW_PROGRAM (${HARW_PROGRAM}) does not exist: build the Windows tree first\")
endif()")
  install(FILES ${HARW_PROGRAM} DESTINATION ${HARW_INSTALL_PROGRAMDIR} RENAME HarwUpdater.exe)
else()
  message(STATUS "HARW_PROGRAM not set: cmake --install leaves out HarwUpdater.exe, and there is no Debian package")
endif()
