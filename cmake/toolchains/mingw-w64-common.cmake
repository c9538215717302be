# What the MinGW-w64 cross builds share, included by one toolchain file per target processor
# after it has set TPK_MINGW_TRIPLE and TPK_WINE: the posix-thread compilers (std::thread and
# std::mutex on winpthreads), the target's own root for headers and libraries, and the C++
# runtime, libgcc and winpthreads linked statically, so that the module DLL and the test
# programs need nothing beside the system's own DLLs. Test programs run through Wine with its
# prefix inside the build tree, its diagnostics off and no offer to install its .NET or HTML
# engines, so that CTest runs them as on Linux.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${TPK_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TPK_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${TPK_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TPK_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# The toolchain file is read again for every try_compile, where CMAKE_BINARY_DIR is the probe's
# own folder: the prefix is fixed once, by the first (top-level) read.
if(NOT TPK_WINE_PREFIX)
  set(TPK_WINE_PREFIX "${CMAKE_BINARY_DIR}/wine-prefix" CACHE PATH "Wine prefix of the test runs")
endif()
if(TPK_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR
      env WINEPREFIX=${TPK_WINE_PREFIX} WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml= ${TPK_WINE})
endif()
