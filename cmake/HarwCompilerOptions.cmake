# Flags that depend on the compiler, in one place: the targets say what they
# need (warnings, a wide entry point, a small hardened image) and this file
# says how each compiler is told. MSVC here also means clang-cl.

# The Microsoft compilers: sources are UTF-8 whatever the system code page,
# and the C runtime is linked statically, so that no program of the project
# imports VCRUNTIME140 or the api-ms-win-crt DLLs.
if(MSVC)
  add_compile_options($<$<COMPILE_LANGUAGE:C,CXX>:/utf-8>)
  set(CMAKE_MSVC_RUNTIME_LIBRARY "MultiThreaded$<$<CONFIG:Debug>:Debug>")
endif()

## harw_warnings(<target> [PUBLIC] [PEDANTIC])
## The project's warning level; PUBLIC passes it on to dependent targets,
## PEDANTIC adds the warnings for anything beyond ISO C++ (MSVC: /permissive-
## is always set, it is the conformance switch rather than a warning level).
function(harw_warnings target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "PUBLIC;PEDANTIC" "" "")
  set(scope PRIVATE)
  if(arg_PUBLIC)
    set(scope PUBLIC)
  endif()
  if(MSVC)
    set(flags /W4 /permissive-)
  else()
    set(flags -Wall -Wextra)
    if(arg_PEDANTIC)
      list(APPEND flags -Wpedantic)
    endif()
  endif()
  # Never for resource scripts: the resource compilers take none of these.
  target_compile_options(${target} ${scope} "$<$<COMPILE_LANGUAGE:C,CXX>:${flags}>")
endfunction()

## harw_wide_entry(<target>)
## The program starts at wmain/wWinMain. MinGW needs -municode for that; the
## Microsoft linker picks the wide entry by itself when wmain is defined.
function(harw_wide_entry target)
  if(MINGW)
    target_link_options(${target} PRIVATE -municode)
  endif()
endfunction()

## harw_small_hardened(<target> [PRIVATE])
## Code generation of the package program and what links it: small code,
## stack buffer checks, one section per function so unused ones can be dropped.
## Given to dependent targets as well (PUBLIC), unless PRIVATE (a library that
## other programs link too, such as the archive code the packer shares).
function(harw_small_hardened target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "PRIVATE" "" "")
  set(scope PUBLIC)
  if(arg_PRIVATE)
    set(scope PRIVATE)
  endif()
  if(MINGW)
    set(flags -Os -fstack-protector-strong -ffunction-sections -fdata-sections)
  elseif(MSVC)
    # /GS is the compiler's default; named so that nobody turns it off unseen.
    set(flags /GS /Gy /Gw)
  else()
    return()
  endif()
  target_compile_options(${target} ${scope} "$<$<COMPILE_LANGUAGE:C,CXX>:${flags}>")
endfunction()

## harw_program_image(<target>)
## The package program's image: a 1 MiB stack reserve, address-space layout
## randomisation (in the 64-bit edition across the whole 64-bit address
## space: high-entropy addresses), no-execute data, unused code dropped and
## no symbols. Its manifest comes from its resource script, so the Microsoft
## linker must not make one of its own (a second RT_MANIFEST resource 1 would
## collide).
function(harw_program_image target)
  if(MINGW)
    target_link_options(${target} PRIVATE -s -Wl,--gc-sections -Wl,--stack,1048576
      -Wl,--dynamicbase -Wl,--nxcompat -fstack-protector-strong)
    if(CMAKE_SIZEOF_VOID_P EQUAL 8)
      target_link_options(${target} PRIVATE -Wl,--high-entropy-va)
    endif()
  elseif(MSVC)
    target_link_options(${target} PRIVATE /STACK:1048576 /DYNAMICBASE /NXCOMPAT
      /MANIFEST:NO "$<$<CONFIG:Release,MinSizeRel>:/OPT:REF;/OPT:ICF>")
    if(CMAKE_SIZEOF_VOID_P EQUAL 8)
      target_link_options(${target} PRIVATE /HIGHENTROPYVA)
    endif()
  endif()
endfunction()

## harw_program_resources(<target> <name> <description>)
## The version information and the asInvoker manifest of one of the Windows
## programs (<name>.exe), from res/program.rc.in and res/program.manifest.in.
## The manifest names the edition's processor: Windows may refuse to load a
## 64-bit image whose manifest says x86.
function(harw_program_resources target name description)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(HARW_MANIFEST_ARCHITECTURE amd64)
  else()
    set(HARW_MANIFEST_ARCHITECTURE x86)
  endif()
  set(HARW_RESOURCE_NAME ${name})
  set(HARW_RESOURCE_DESCRIPTION ${description})
  set(dir ${CMAKE_CURRENT_BINARY_DIR}/res-${name})
  configure_file(${PROJECT_SOURCE_DIR}/res/program.manifest.in ${dir}/${name}.manifest @ONLY)
  configure_file(${PROJECT_SOURCE_DIR}/res/program.rc.in ${dir}/${name}.rc @ONLY)
  target_sources(${target} PRIVATE ${dir}/${name}.rc)
  target_include_directories(${target} PRIVATE ${dir})
  set_property(SOURCE ${dir}/${name}.rc APPEND PROPERTY OBJECT_DEPENDS ${dir}/${name}.manifest)
endfunction()
