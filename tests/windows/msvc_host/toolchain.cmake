# clang for the MSVC ABI of 32-bit Windows, linked by lld-link: on a machine without MSVC, the
# compiler and linker that produce what cl and link do (object format, calling conventions,
# structure layout, import libraries).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR X86)
set(CMAKE_C_COMPILER clang)
set(CMAKE_C_COMPILER_TARGET i686-pc-windows-msvc)
# Without MSVC's runtime and libraries no test program links: CMake's checks only compile.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
set(CMAKE_C_STANDARD_LIBRARIES "" CACHE STRING "")
