# Where `cmake --install` puts things. Natively (the Debian package):
#   bin/harwpack, share/harwupdater/HarwUpdater.exe and HarwExtract.exe (the
#   x86 edition), share/harwupdater/x64/ the same of the x64 edition, the man
#   page and the README under share/. harwpack finds the programs at
#   ../share/harwupdater from its own folder (packer/installed/installed.cpp), so
#   these stay fixed.
# On Windows (the zips): harwpack.exe, HarwUpdater.exe and HarwExtract.exe
# (x86) and README.md side by side, the x64 edition's in x64/ below them.
include(GNUInstallDirs)

# The programs that are installed beside harwpack. A tree builds at most one
# edition itself; the other comes from the tree that builds it.
set(HARW_PROGRAM "" CACHE FILEPATH
  "The x86 edition's HarwUpdater.exe (build/win/bin/HarwUpdater.exe) to install and package with harwpack")
set(HARW_PROGRAM_X64 "" CACHE FILEPATH
  "The x64 edition's HarwUpdater.exe (build/win64/bin/HarwUpdater.exe) to install and package with harwpack")

## harw_program_destination(<edition> <variable>)
## Sets <variable> to the folder of the given edition's programs.
function(harw_program_destination edition variable)
  if(edition STREQUAL "x64")
    set(${variable} ${HARW_INSTALL_PROGRAMDIR}/x64 PARENT_SCOPE)
  else()
    set(${variable} ${HARW_INSTALL_PROGRAMDIR} PARENT_SCOPE)
  endif()
endfunction()

## harw_install_own_program(<target>)
## Installs a program this tree builds into its edition's folder, as the
## linker wrote it (already without symbols): a stripping install would
## rewrite its header.
function(harw_install_own_program target)
  harw_program_destination(${HARW_EDITION} destination)
  install(PROGRAMS $<TARGET_FILE:${target}> DESTINATION ${destination})
endfunction()

## harw_install_program(<edition> <file>)
## Installs a program built by another tree as the given edition's
## HarwUpdater.exe, and the builtin self-extractor built beside it
## (HarwExtract.exe in the same folder) with it.
function(harw_install_program edition file)
  harw_program_destination(${edition} destination)
  get_filename_component(folder ${file} DIRECTORY)
  foreach(installed ${file} ${folder}/HarwExtract.exe)
    install(CODE "if(NOT EXISTS \"${installed}\")
  message(FATAL_ERROR \"${installed} does not exist: build the ${edition} edition's Windows tree first\")
endif()")
  endforeach()
  install(FILES ${file} DESTINATION ${destination} RENAME HarwUpdater.exe)
  install(PROGRAMS ${folder}/HarwExtract.exe DESTINATION ${destination})
endfunction()

if(WIN32)
  set(HARW_INSTALL_BINDIR .)
  set(HARW_INSTALL_PROGRAMDIR .)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/extractor/FORMAT.md DESTINATION .)
  # This tree's own edition is installed from its target (src/CMakeLists.txt).
  if(HARW_EDITION STREQUAL "x86" AND HARW_PROGRAM_X64)
    harw_install_program(x64 ${HARW_PROGRAM_X64})
  elseif(HARW_EDITION STREQUAL "x64" AND HARW_PROGRAM)
    harw_install_program(x86 ${HARW_PROGRAM})
  else()
    message(STATUS "The other edition's program is not set: the zip holds only the ${HARW_EDITION} edition")
  endif()
  return()
endif()

set(HARW_INSTALL_BINDIR bin)
set(HARW_INSTALL_PROGRAMDIR share/harwupdater)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/extractor/FORMAT.md
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/harwupdater)

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

# The programs come from the Windows trees: the native tree cannot build them.
if(HARW_PROGRAM)
  harw_install_program(x86 ${HARW_PROGRAM})
else()
  message(STATUS "HARW_PROGRAM not set: cmake --install leaves out HarwUpdater.exe, and there is no Debian package")
endif()
if(HARW_PROGRAM_X64)
  harw_install_program(x64 ${HARW_PROGRAM_X64})
endif()
