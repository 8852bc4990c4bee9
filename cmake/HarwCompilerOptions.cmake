# Flags that only some compilers take, chosen in one place so that every
# target of the project builds with MinGW-w64, GCC, Clang and MSVC alike.

# The project's warning level for `target`.
function(harw_warnings target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4)
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra)
  endif()
endfunction()

# A console program whose entry point is wmain: MinGW-w64 needs to be told,
# MSVC picks the wide entry by itself.
function(harw_wide_entry target)
  if(MINGW)
    target_link_options(${target} PRIVATE -municode)
  endif()
endfunction()
