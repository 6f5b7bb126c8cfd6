# Cross-builds the Windows programs and libZelbor.dll with Debian's MinGW-w64
# (g++-mingw-w64-x86-64). The posix thread flavour has the C++ thread
# library; -static puts the C++ and thread runtimes into each file, so the
# programs need only libZelbor.dll and Windows' own DLLs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(RAWCAN_MINGW x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${RAWCAN_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${RAWCAN_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${RAWCAN_MINGW}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${RAWCAN_MINGW})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
set(CMAKE_SHARED_LINKER_FLAGS_INIT -static)

# Tests and test discovery run the Windows executables under Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run.sh)
