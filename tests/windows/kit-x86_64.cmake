# A host's own MinGW kit as its toolchain file has it: the system and the compilers, nothing of
# this project's (scripts/windows.sh builds the suites with it).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
