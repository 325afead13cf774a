# Options that depend on the compiler, kept here so that the rest of the
# build names none: a build with another compiler is then a preset away.
# GCC and Clang (mingw-w64 among them) take one set, MSVC and clang-cl the
# other.

if(MSVC)
  # /utf-8: the sources are UTF-8, whatever the build machine's code page.
  add_compile_options(/W4 /WX /permissive- /utf-8)
else()
  add_compile_options(-Wall -Wextra -Wpedantic -Wshadow -Werror)
endif()

if(KESTRANE_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang" OR MSVC)
    message(FATAL_ERROR "The fuzz targets need clang's libFuzzer")
  endif()
  # Coverage instrumentation for the whole core, not just the fuzz targets.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
  set(KESTRANE_FUZZER_LINK_OPTIONS -fsanitize=fuzzer,address,undefined)
endif()

if(KESTRANE_SANITIZE)
  if(MSVC)
    # MSVC has AddressSanitizer, and no UndefinedBehaviorSanitizer.
    add_compile_options(/fsanitize=address)
  else()
    add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
    add_link_options(-fsanitize=address,undefined)
  endif()
endif()

if(WIN32)
  # Programs that need no runtime library of their own beside them.
  if(MINGW)
    add_link_options(-static -static-libgcc -static-libstdc++)
  else()
    set(CMAKE_MSVC_RUNTIME_LIBRARY "MultiThreaded$<$<CONFIG:Debug>:Debug>")
  endif()
endif()

# A Windows program whose entry point takes UTF-16 text (wWinMain, wmain).
# MSVC's linker finds that entry point by itself; mingw-w64 must be told.
function(kestrane_unicode_entry target)
  if(MINGW)
    target_link_options(${target} PRIVATE -municode)
  endif()
endfunction()
