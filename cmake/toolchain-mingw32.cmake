# Builds for Windows with Debian's MinGW-w64 cross compilers (the posix thread model, for
# std::thread and std::mutex) against a Qt cross-built by scripts/qt-mingw.sh: 32-bit x86, the
# real hosts' system, by default; CROP_ASSIST_WINDOWS_ARCH=x86_64 for the 64-bit twin that Wine
# runs natively. Programs and tests run under Wine (CMAKE_CROSSCOMPILING_EMULATOR).
#
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw32.cmake \
#         -DCROP_ASSIST_QT_PREFIX=<prefix printed by scripts/qt-mingw.sh>
set(CMAKE_SYSTEM_NAME Windows)
if(NOT CROP_ASSIST_WINDOWS_ARCH)
    set(CROP_ASSIST_WINDOWS_ARCH i686)
endif()
set(CMAKE_SYSTEM_PROCESSOR ${CROP_ASSIST_WINDOWS_ARCH})
set(CROP_ASSIST_MINGW ${CROP_ASSIST_WINDOWS_ARCH}-w64-mingw32)

set(CMAKE_C_COMPILER ${CROP_ASSIST_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${CROP_ASSIST_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${CROP_ASSIST_MINGW}-windres)

# Try-compiles and later configure runs see the Qt prefix too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES CROP_ASSIST_QT_PREFIX CROP_ASSIST_WINDOWS_ARCH)
set(CMAKE_FIND_ROOT_PATH /usr/${CROP_ASSIST_MINGW} ${CROP_ASSIST_QT_PREFIX})
set(CMAKE_PREFIX_PATH ${CROP_ASSIST_QT_PREFIX})
# Programs (moc, rcc) come from the build machine; libraries and headers only from the target.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# CTest and GoogleTest's test discovery run the Windows programs through Wine: Debian's wine
# starts 32-bit programs, its wine64 loader (not on PATH) 64-bit ones.
if(CROP_ASSIST_WINDOWS_ARCH STREQUAL "x86_64")
    find_program(CROP_ASSIST_WINE NAMES wine64 PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
else()
    find_program(CROP_ASSIST_WINE NAMES wine NO_CMAKE_FIND_ROOT_PATH)
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR ${CROP_ASSIST_WINE})
