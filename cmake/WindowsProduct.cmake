# What the Windows binaries carry besides their code, and what the SDK archive holds besides them:
# a version resource in each shipped binary, an import library for MSVC hosts, and, in the
# self-contained MinGW build, the binaries' debug information moved into .debug files that are
# packed as a symbols archive of their own.
include(GNUInstallDirs)
set(_ca_product_dir ${CMAKE_CURRENT_LIST_DIR})
set(_ca_shipped crop_assist omnivue_service cropassist)
# The archives' name (cmake/Install.cmake packs the SDK under it).
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(CROP_ASSIST_SDK_NAME crop_assist-${PROJECT_VERSION}-win32)
else()
    set(CROP_ASSIST_SDK_NAME crop_assist-${PROJECT_VERSION}-win64)
endif()

# VERSIONINFO from the project's version, which is the header's: a host reads it with
# GetFileVersionInfo, and Windows shows it under the file's properties.
function(_ca_version_resource target type description)
    get_target_property(_ca_name ${target} OUTPUT_NAME)
    if(NOT _ca_name)
        set(_ca_name ${target})
    endif()
    set(_ca_rc_type ${type})
    set(_ca_rc_description "${description}")
    set(_ca_rc_internal ${_ca_name})
    if(type STREQUAL "VFT_DLL")
        set(_ca_rc_file ${_ca_name}.dll)
    else()
        set(_ca_rc_file ${_ca_name}.exe)
    endif()
    set(_ca_file_${target} ${_ca_rc_file} PARENT_SCOPE)
    configure_file(${_ca_product_dir}/version.rc.in ${CMAKE_BINARY_DIR}/version/${target}.rc @ONLY)
    target_sources(${target} PRIVATE ${CMAKE_BINARY_DIR}/version/${target}.rc)
endfunction()
_ca_version_resource(crop_assist VFT_DLL "Crop Assist client library")
_ca_version_resource(omnivue_service VFT_APP "Crop Assist stand-in service")
_ca_version_resource(cropassist VFT_APP "Crop Assist command-line host")

# An MSVC build writes crop_assist.lib itself. A MinGW build makes it from the export list with
# LLVM's dlltool, so that an MSVC host links without making its own; the names stay undecorated
# (the exports are __cdecl).
set(CROP_ASSIST_MSVC_IMPLIB "")
if(MINGW)
    find_program(CROP_ASSIST_LLVM_DLLTOOL llvm-dlltool)
    if(CROP_ASSIST_LLVM_DLLTOOL)
        if(CMAKE_SIZEOF_VOID_P EQUAL 4)
            set(_ca_machine i386)
        else()
            set(_ca_machine i386:x86-64)
        endif()
        add_custom_command(OUTPUT ${CROP_ASSIST_OUTPUT_DIR}/crop_assist.lib
            COMMAND ${CROP_ASSIST_LLVM_DLLTOOL} -m ${_ca_machine} -d crop_assist.def
                -l crop_assist.lib
            WORKING_DIRECTORY ${CROP_ASSIST_OUTPUT_DIR}
            DEPENDS ${CROP_ASSIST_OUTPUT_DIR}/crop_assist.def
            COMMENT "MSVC import library crop_assist.lib"
            VERBATIM)
        add_custom_target(crop_assist_msvc_implib ALL
            DEPENDS ${CROP_ASSIST_OUTPUT_DIR}/crop_assist.lib)
        install(FILES ${CROP_ASSIST_OUTPUT_DIR}/crop_assist.lib
            DESTINATION ${CMAKE_INSTALL_LIBDIR})
        set(CROP_ASSIST_MSVC_IMPLIB ${CMAKE_INSTALL_LIBDIR}/crop_assist.lib)
    elseif(CROP_ASSIST_SELF_CONTAINED)
        message(FATAL_ERROR "CropAssist: the SDK needs llvm-dlltool for crop_assist.lib "
                            "(Debian package llvm)")
    else()
        message(WARNING "CropAssist: llvm-dlltool not found: no crop_assist.lib for MSVC hosts")
    endif()
endif()

# Shipped stripped, but not without symbols: the binaries keep their debug information in out/
# (for a debugger there), a copy of it goes into a .debug file beside each, the .debug files go
# into a symbols archive beside the SDK archive, and the installed copies are stripped
# (cmake/Install.cmake) and name their .debug file (a GNU debuglink, which gdb follows; addr2line
# reads the .debug file itself). Stripped of all symbols, not of debug sections only: the COFF
# symbol table alone would add half as much again to each binary.
set(CROP_ASSIST_DEBUG_FILES "")
if(CROP_ASSIST_SELF_CONTAINED AND MINGW)
    if(NOT CMAKE_OBJCOPY)
        message(FATAL_ERROR "CropAssist: no objcopy to split the debug information")
    endif()
    set(_ca_symbols ${CROP_ASSIST_SDK_NAME}-symbols)
    foreach(_ca_target IN LISTS _ca_shipped)
        set(_ca_debug ${CROP_ASSIST_OUTPUT_DIR}/${_ca_file_${_ca_target}}.debug)
        add_custom_command(OUTPUT ${_ca_debug}
            COMMAND ${CMAKE_OBJCOPY} --only-keep-debug $<TARGET_FILE:${_ca_target}> ${_ca_debug}
            DEPENDS ${_ca_target}
            VERBATIM)
        list(APPEND CROP_ASSIST_DEBUG_FILES ${_ca_debug})
    endforeach()
    set(_ca_staging ${CMAKE_BINARY_DIR}/symbols)
    add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/${_ca_symbols}.zip
        COMMAND ${CMAKE_COMMAND} -E rm -rf ${_ca_staging}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${_ca_staging}/${_ca_symbols}
        COMMAND ${CMAKE_COMMAND} -E copy ${CROP_ASSIST_DEBUG_FILES} ${_ca_staging}/${_ca_symbols}
        COMMAND ${CMAKE_COMMAND} -E chdir ${_ca_staging}
            ${CMAKE_COMMAND} -E tar cf ${CMAKE_BINARY_DIR}/${_ca_symbols}.zip --format=zip
            ${_ca_symbols}
        DEPENDS ${CROP_ASSIST_DEBUG_FILES}
        COMMENT "Symbols archive ${_ca_symbols}.zip"
        VERBATIM)
    add_custom_target(crop_assist_symbols ALL DEPENDS ${CMAKE_BINARY_DIR}/${_ca_symbols}.zip)
endif()
