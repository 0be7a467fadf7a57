# Builds 32-bit x86 binaries on a 64-bit Debian host with the multilib compilers (g++-multilib)
# against the i386 multiarch packages (qtbase5-dev:i386, libgtest-dev:i386). The results run
# natively, so CMake is not told it cross-compiles: tests are discovered and run as usual.
#
#   cmake -S . -B build-32 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i386.cmake
set(CMAKE_C_FLAGS_INIT "-m32")
set(CMAKE_CXX_FLAGS_INIT "-m32")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-m32")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-m32")

# CMake derives the multiarch folder from the compiler; pinning it keeps find_package and
# find_library on /usr/lib/i386-linux-gnu (Qt, GoogleTest) and off the host's x86_64 folder.
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)

# pkg-config must report the i386 packages only, never the host's.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/i386-linux-gnu/pkgconfig:/usr/share/pkgconfig)
