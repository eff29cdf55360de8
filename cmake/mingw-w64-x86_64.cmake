# Cross-builds the 64-bit Windows DLL and its test programs with mingw-w64 on
# Linux:  cmake -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake ...
# The test programs run under Wine through CMAKE_CROSSCOMPILING_EMULATOR.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VX_MINGW_TRIPLET x86_64-w64-mingw32)

# The -posix variants use winpthreads, which std::thread and std::mutex need.
set(CMAKE_C_COMPILER ${VX_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VX_MINGW_TRIPLET}-g++-posix)
# windres compiles .rc files such as a DLL's version resource.
set(CMAKE_RC_COMPILER ${VX_MINGW_TRIPLET}-windres)

# Headers and libraries come from the mingw-w64 sysroot only; build tools
# (code generators, the emulator) from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${VX_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Every .exe and .dll carries its own copy of the C++ runtime, libgcc and
# winpthreads, so nothing but system DLLs has to be found at run time, on a
# user's machine or under Wine.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# CTest runs the test programs through Wine. WINEPREFIX and WINEDEBUG come
# from the environment of whoever runs ctest.
set(VX_WINE /usr/lib/wine/wine64 CACHE FILEPATH "Wine loader used to run cross-built test programs")
set(CMAKE_CROSSCOMPILING_EMULATOR ${VX_WINE})
