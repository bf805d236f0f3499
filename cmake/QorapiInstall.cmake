# Install rules, the exported CMake package and the pkg-config file. The library,
# its headers and package files form the component "Development"; the programs
# of tools/ form "Runtime".
include(CMakePackageConfigHelpers)

foreach(header IN LISTS QORAPI_HEADERS)
    file(RELATIVE_PATH rel ${CMAKE_CURRENT_SOURCE_DIR} ${header})
    get_filename_component(rel_dir ${rel} DIRECTORY)
    install(FILES ${header} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/qorapi/${rel_dir}
        COMPONENT Development)
endforeach()

install(TARGETS qorapi EXPORT qorapiTargets
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Development
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Development
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT Development
    INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/qorapi)
install(EXPORT qorapiTargets NAMESPACE qorapi:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/qorapi
    COMPONENT Development)

configure_package_config_file(cmake/qorapiConfig.cmake.in
    ${CMAKE_CURRENT_BINARY_DIR}/qorapiConfig.cmake
    INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/qorapi)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/qorapiConfigVersion.cmake
    COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/qorapiConfig.cmake ${CMAKE_CURRENT_BINARY_DIR}/qorapiConfigVersion.cmake
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/qorapi COMPONENT Development)

# The .pc file names its directories relative to its own place (${pcfiledir}), so the
# installed tree works under whatever prefix `cmake --install --prefix` is given.
set(QORAPI_PC_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
if(IS_ABSOLUTE "${QORAPI_PC_DIR}")
    set(QORAPI_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
    # One "/.." per component of the .pc file's directory leads back to the prefix.
    string(REGEX REPLACE "[^/]+" ".." QORAPI_PC_UP "${QORAPI_PC_DIR}")
    set(QORAPI_PC_PREFIX "\${pcfiledir}/${QORAPI_PC_UP}")
endif()
foreach(kind IN ITEMS LIBDIR INCLUDEDIR)
    if(IS_ABSOLUTE "${CMAKE_INSTALL_${kind}}")
        set(QORAPI_PC_${kind} "${CMAKE_INSTALL_${kind}}")
    else()
        set(QORAPI_PC_${kind} "\${prefix}/${CMAKE_INSTALL_${kind}}")
    endif()
endforeach()
configure_file(cmake/qorapi.pc.in ${CMAKE_CURRENT_BINARY_DIR}/qorapi.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/qorapi.pc DESTINATION ${QORAPI_PC_DIR} COMPONENT Development)
