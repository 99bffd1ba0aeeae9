# Everything that differs between the GCC family (host g++, MinGW-w64) and
# MSVC, in one place: warnings, sanitizers, the static runtime, the manifest
# and the wide entry point. Included before any target is made.

if(MSVC)
  # C++ only: the resource compiler takes none of these. Headers reached
  # through <...> (the SDK, the STL, vcpkg's) are not ours to fix, so /WX must
  # not stop on them.
  add_compile_options($<$<COMPILE_LANGUAGE:CXX>:/W4> $<$<COMPILE_LANGUAGE:CXX>:/WX>
                      $<$<COMPILE_LANGUAGE:CXX>:/utf-8>
                      $<$<COMPILE_LANGUAGE:CXX>:/external:anglebrackets>
                      $<$<COMPILE_LANGUAGE:CXX>:/external:W0>)
  # The C and C++ runtimes linked in, as -static does for MinGW-w64. Debug
  # takes the debug runtime, as vcpkg's x64-windows-static libraries do;
  # mixing the two fails to link.
  set(CMAKE_MSVC_RUNTIME_LIBRARY "MultiThreaded$<$<CONFIG:Debug>:Debug>")
else()
  add_compile_options(-Wall -Wextra -Wpedantic -Wshadow -Werror)
  if(TESSARIN_SANITIZE AND NOT WIN32)
    add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
    add_link_options(-fsanitize=address,undefined)
  endif()
endif()

# A Windows program that needs only the DLLs Windows ships and carries no
# manifest but the one its own resource script names.
function(tessarin_self_contained target)
  if(MSVC)
    # The linker would otherwise add a second RT_MANIFEST resource 1.
    target_link_options(${target} PRIVATE /MANIFEST:NO)
  else()
    target_link_options(${target} PRIVATE -static -static-libgcc -static-libstdc++)
  endif()
endfunction()

# A program that enters through wmain. MSVC's linker picks the entry itself.
function(tessarin_wide_entry target)
  if(NOT MSVC)
    target_link_options(${target} PRIVATE -municode)
  endif()
endfunction()
