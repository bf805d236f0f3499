# Install rules, the exported CMake package and the pkg-config file.
include(CMakePackageConfigHelpers)

foreach(header IN LISTS QORAPI_HEADERS)
    file(RELATIVE_PATH rel ${CMAKE_CURRENT_SOURCE_DIR} ${header})
    get_filename_component(rel_dir ${rel} DIRECTORY)
    install(FILES ${header} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/qorapi/${rel_dir})
endforeach()

install(TARGETS qorapi EXPORT qorapiTargets
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
    INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/qorapi)
install(EXPORT qorapiTargets NAMESPACE qorapi:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/qorapi)

configure_package_config_file(cmake/qorapiConfig.cmake.in
    ${CMAKE_CURRENT_BINARY_DIR}/qorapiConfig.cmake
    INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/qorapi)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/qorapiConfigVersion.cmake
    COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/qorapiConfig.cmake ${CMAKE_CURRENT_BINARY_DIR}/qorapiConfigVersion.cmake
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/qorapi)

configure_file(cmake/qorapi.pc.in ${CMAKE_CURRENT_BINARY_DIR}/qorapi.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/qorapi.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
