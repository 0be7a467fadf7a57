# Installation: the library and its headers, the service beside the library (the library
# starts it from its own folder), the cropassist tool, a CMake package
# (find_package(CropAssist) gives CropAssist::crop_assist) and the pkg-config file crop_assist.pc.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set_target_properties(crop_assist PROPERTIES
    VERSION ${PROJECT_VERSION}
    SOVERSION ${PROJECT_VERSION_MAJOR})

# Windows looks for a DLL beside the program, so there the library and the service go to bin/.
if(WIN32)
    set(CROP_ASSIST_SERVICE_DIR ${CMAKE_INSTALL_BINDIR})
else()
    set(CROP_ASSIST_SERVICE_DIR ${CMAKE_INSTALL_LIBDIR})
endif()
set(CROP_ASSIST_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/CropAssist)

install(TARGETS crop_assist EXPORT CropAssistTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
    INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES
    ${PROJECT_SOURCE_DIR}/api/crop_assist.h
    ${PROJECT_SOURCE_DIR}/api/crop_assist_export.h
    ${PROJECT_SOURCE_DIR}/api/crop_assist.hpp
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(TARGETS omnivue_service RUNTIME DESTINATION ${CROP_ASSIST_SERVICE_DIR})
install(TARGETS cropassist RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# The installed copies lose their symbols and debug information and name their .debug file
# instead (cmake/WindowsProduct.cmake).
foreach(_ca_debug IN LISTS CROP_ASSIST_DEBUG_FILES)
    get_filename_component(_ca_binary ${_ca_debug} NAME_WLE)
    install(CODE "execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --strip-all
            \"--add-gnu-debuglink=${_ca_debug}\"
            \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/${_ca_binary}\"
        RESULT_VARIABLE _ca_status)
    if(NOT _ca_status EQUAL 0)
        message(FATAL_ERROR \"objcopy could not strip ${_ca_binary}\")
    endif()")
endforeach()

# Installed programs find the library relative to themselves, wherever the prefix is; the tool's
# replay of a session that attached finds the service there too.
file(RELATIVE_PATH _ca_bin_to_service
    /prefix/${CMAKE_INSTALL_BINDIR} /prefix/${CROP_ASSIST_SERVICE_DIR})
target_compile_definitions(cropassist PRIVATE
    CROPASSIST_SERVICE_FROM_BIN="${_ca_bin_to_service}")
if(NOT WIN32)
    file(RELATIVE_PATH _ca_bin_to_lib
        /prefix/${CMAKE_INSTALL_BINDIR} /prefix/${CMAKE_INSTALL_LIBDIR})
    set_target_properties(cropassist PROPERTIES INSTALL_RPATH "$ORIGIN/${_ca_bin_to_lib}")
endif()

install(EXPORT CropAssistTargets
    NAMESPACE CropAssist::
    DESTINATION ${CROP_ASSIST_CMAKE_DIR})
# CROP_ASSIST_MSVC_IMPLIB (cmake/WindowsProduct.cmake): the import library that MSVC hosts get.
configure_package_config_file(
    ${CMAKE_CURRENT_LIST_DIR}/CropAssistConfig.cmake.in
    ${CMAKE_CURRENT_BINARY_DIR}/CropAssistConfig.cmake
    INSTALL_DESTINATION ${CROP_ASSIST_CMAKE_DIR})
write_basic_package_version_file(
    ${CMAKE_CURRENT_BINARY_DIR}/CropAssistConfigVersion.cmake
    COMPATIBILITY SameMajorVersion)
install(FILES
    ${CMAKE_CURRENT_BINARY_DIR}/CropAssistConfig.cmake
    ${CMAKE_CURRENT_BINARY_DIR}/CropAssistConfigVersion.cmake
    DESTINATION ${CROP_ASSIST_CMAKE_DIR})

# The .pc file finds its prefix from its own place, so an installed tree may be moved.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
    set(CROP_ASSIST_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
    file(RELATIVE_PATH _ca_pc_to_prefix /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
    string(REGEX REPLACE "/$" "" _ca_pc_to_prefix "${_ca_pc_to_prefix}")
    set(CROP_ASSIST_PC_PREFIX "\${pcfiledir}/${_ca_pc_to_prefix}")
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/crop_assist.pc.in
    ${CMAKE_CURRENT_BINARY_DIR}/crop_assist.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/crop_assist.pc
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# On Windows the programs find their DLLs beside them: those of a shared Qt build go to bin/ too
# (cmake/Windows.cmake; a self-contained build has none).
if(WIN32)
    if(CROP_ASSIST_RUNTIME_DLLS)
        install(FILES ${CROP_ASSIST_RUNTIME_DLLS} DESTINATION ${CMAKE_INSTALL_BINDIR})
    endif()
    install(FILES ${CROP_ASSIST_OUTPUT_DIR}/crop_assist.def DESTINATION ${CMAKE_INSTALL_LIBDIR})

    # What a host developer reads first, the licences of what the binaries carry, the C example
    # and the API reference (the Doxygen target docs, built with everything else here).
    configure_file(${CMAKE_CURRENT_LIST_DIR}/sdk-README.md.in
        ${CMAKE_CURRENT_BINARY_DIR}/sdk/README.md @ONLY)
    install(FILES ${CMAKE_CURRENT_BINARY_DIR}/sdk/README.md ${PROJECT_SOURCE_DIR}/LICENSE
        ${PROJECT_SOURCE_DIR}/THIRD-PARTY-NOTICES.txt DESTINATION .)
    install(FILES ${PROJECT_SOURCE_DIR}/docs/example.c DESTINATION docs)
    find_package(Doxygen QUIET)
    if(DOXYGEN_FOUND)
        add_custom_target(crop_assist_api_reference ALL)
        add_dependencies(crop_assist_api_reference docs)
        install(DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/docs/api/html/ DESTINATION docs/api)
    else()
        message(WARNING "CropAssist: doxygen not found: the SDK gets no API reference")
    endif()

    # cpack -G ZIP: the SDK archive a Windows host developer receives.
    set(CPACK_GENERATOR ZIP)
    set(CPACK_PACKAGE_NAME crop_assist)
    set(CPACK_PACKAGE_FILE_NAME ${CROP_ASSIST_SDK_NAME})
    set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
    include(CPack)
endif()
