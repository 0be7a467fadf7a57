# Optional instrumentation of everything built in this tree.
#
# CROP_ASSIST_SANITIZE takes a -fsanitize list, e.g. "address,undefined" or "thread". Undefined
# behaviour aborts instead of printing and going on, so any report fails the test that hit it.
#
# CROP_ASSIST_FUZZ (clang only) adds libFuzzer's coverage instrumentation to every library and
# builds the fuzz targets under fuzz/.
set(CROP_ASSIST_SANITIZE "" CACHE STRING "Sanitizers to build with, e.g. address,undefined or thread")
option(CROP_ASSIST_FUZZ "Build the libFuzzer targets (clang only)" OFF)

if(CROP_ASSIST_SANITIZE)
    add_compile_options(-fsanitize=${CROP_ASSIST_SANITIZE} -fno-omit-frame-pointer)
    add_link_options(-fsanitize=${CROP_ASSIST_SANITIZE})
    if(CROP_ASSIST_SANITIZE MATCHES "undefined")
        add_compile_options(-fno-sanitize-recover=all)
        add_link_options(-fno-sanitize-recover=all)
    endif()
endif()

if(CROP_ASSIST_FUZZ)
    if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
        message(FATAL_ERROR "CROP_ASSIST_FUZZ needs clang (libFuzzer): configure with "
                            "-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++")
    endif()
    add_compile_options(-fsanitize=fuzzer-no-link)
endif()
