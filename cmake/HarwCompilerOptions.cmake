# Compiler settings chosen per compiler in one place.

# The project's warning level for `target`.
function(harw_warnings target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4 /permissive-)
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra)
  endif()
endfunction()

# `target` starts at wmain/wWinMain (the wide entry point).
function(harw_wide_entry target)
  if(MINGW)
    target_link_options(${target} PRIVATE -municode)
  endif()
endfunction()
