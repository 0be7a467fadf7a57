# What a Windows build needs beyond the sources, for any toolchain that builds there: MinGW-w64
# (cross or native) and MSVC.
#
# Against a static Qt (scripts/qt-mingw.sh ... static) the build is self-contained: Qt and the
# compiler's runtime are linked into every binary, so the SDK's DLL meets none of a host's own
# Qt5Core.dll or libstdc++-6.dll. Against a shared Qt (the suites, or a host's own kit) the
# programs need Qt's and the compiler's DLLs beside them, which are copied into the output
# folder so that the build runs in place, and installed with it.
get_target_property(_ca_qt_type Qt5::Core TYPE)
if(_ca_qt_type STREQUAL "STATIC_LIBRARY")
    set(CROP_ASSIST_SELF_CONTAINED ON)
    message(STATUS "CropAssist: static Qt ${Qt5Core_VERSION}: self-contained binaries")
else()
    set(CROP_ASSIST_SELF_CONTAINED OFF)
    message(STATUS "CropAssist: shared Qt ${Qt5Core_VERSION}: its DLLs go beside the programs")
endif()

if(CROP_ASSIST_SELF_CONTAINED)
    if(MINGW)
        # libstdc++, libgcc and winpthread inside each binary. Debug information is kept in every
        # configuration: cmake/WindowsProduct.cmake moves it out of the shipped binaries into
        # .debug files of their own.
        add_link_options(-static)
        add_compile_options($<$<COMPILE_LANGUAGE:C,CXX>:-g>)
    elseif(MSVC)
        # The static C runtime, as a static Qt built for MSVC with -static-runtime expects.
        set(CMAKE_MSVC_RUNTIME_LIBRARY "MultiThreaded$<$<CONFIG:Debug>:Debug>")
    endif()
    set(CROP_ASSIST_RUNTIME_DLLS "")
    return()
endif()

set(CROP_ASSIST_RUNTIME_DLLS $<TARGET_FILE:Qt5::Core> $<TARGET_FILE:Qt5::Network>)
if(MINGW)
    # The compiler's own DLLs, where that compiler keeps them: -print-file-name knows them in a
    # cross compiler; a native kit has them beside g++.exe.
    if(CMAKE_SIZEOF_VOID_P EQUAL 4)
        set(_ca_gcc_dll libgcc_s_dw2-1.dll) # the 32-bit compiler unwinds with DWARF
    else()
        set(_ca_gcc_dll libgcc_s_seh-1.dll)
    endif()
    get_filename_component(_ca_compiler_dir ${CMAKE_CXX_COMPILER} DIRECTORY)
    foreach(_ca_dll libstdc++-6.dll ${_ca_gcc_dll} libwinpthread-1.dll)
        execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${_ca_dll}
            OUTPUT_VARIABLE _ca_path OUTPUT_STRIP_TRAILING_WHITESPACE)
        if(IS_ABSOLUTE "${_ca_path}" AND EXISTS "${_ca_path}")
            list(APPEND CROP_ASSIST_RUNTIME_DLLS ${_ca_path})
        elseif(EXISTS ${_ca_compiler_dir}/${_ca_dll})
            list(APPEND CROP_ASSIST_RUNTIME_DLLS ${_ca_compiler_dir}/${_ca_dll})
        else()
            message(WARNING "CropAssist: ${_ca_dll} not found beside ${CMAKE_CXX_COMPILER}; "
                            "the programs need it on PATH to run")
        endif()
    endforeach()
endif()
# Into the programs' own folder: out/, or out/<config> with a multi-config generator (Visual
# Studio).
add_custom_target(crop_assist_runtime_dlls ALL
    COMMAND ${CMAKE_COMMAND} -E make_directory $<TARGET_FILE_DIR:crop_assist>
    COMMAND ${CMAKE_COMMAND} -E copy_if_different ${CROP_ASSIST_RUNTIME_DLLS}
        $<TARGET_FILE_DIR:crop_assist>
    COMMENT "Copying the Qt and compiler runtime DLLs beside the programs")
