# Cross-builds Zirave for 64-bit Windows on Debian with MinGW-w64 (posix threads, which
# std::thread needs) against the prebuilt Qt, SQLite and libcurl in ZIRAVE_WIN_TOOLCHAIN_DIR,
# the unpacked toolchain archive. `make windows` passes it; see docs/WINDOWS.md.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(mingw_triplet x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${mingw_triplet}-gcc-posix)
set(CMAKE_CXX_COMPILER ${mingw_triplet}-g++-posix)
set(CMAKE_RC_COMPILER ${mingw_triplet}-windres)

if(NOT ZIRAVE_WIN_TOOLCHAIN_DIR)
    message(FATAL_ERROR "Set ZIRAVE_WIN_TOOLCHAIN_DIR to the unpacked Windows toolchain")
endif()
# try_compile() projects see the variable too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ZIRAVE_WIN_TOOLCHAIN_DIR)

set(CMAKE_FIND_ROOT_PATH /usr/${mingw_triplet} ${ZIRAVE_WIN_TOOLCHAIN_DIR}
    ${ZIRAVE_WIN_TOOLCHAIN_DIR}/qt5)
set(CMAKE_PREFIX_PATH ${ZIRAVE_WIN_TOOLCHAIN_DIR} ${ZIRAVE_WIN_TOOLCHAIN_DIR}/qt5)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# CTest runs the test programs under Wine; see tools/windows/run-tests.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-test)
