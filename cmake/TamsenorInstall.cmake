# Install rules: headers, libraries, a CMake package (find_package(TamsenorAPI)) and pkg-config.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(TAMSENOR_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/TamsenorAPI)

install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/tamsenor DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

set_target_properties(TamsenorAPITesting PROPERTIES EXPORT_NAME Testing)
install(TARGETS TamsenorABTesting EXPORT TamsenorABTestingTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(TARGETS TamsenorAPI TamsenorAPITesting EXPORT TamsenorAPITargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(EXPORT TamsenorABTestingTargets NAMESPACE TamsenorABTesting::
        DESTINATION ${TAMSENOR_CMAKE_DIR})
install(EXPORT TamsenorAPITargets NAMESPACE TamsenorAPI:: DESTINATION ${TAMSENOR_CMAKE_DIR})

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/TamsenorAPIConfig.cmake.in
  ${PROJECT_BINARY_DIR}/TamsenorAPIConfig.cmake INSTALL_DESTINATION ${TAMSENOR_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/TamsenorAPIConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/TamsenorAPIConfig.cmake
              ${PROJECT_BINARY_DIR}/TamsenorAPIConfigVersion.cmake
        DESTINATION ${TAMSENOR_CMAKE_DIR})

configure_file(${PROJECT_SOURCE_DIR}/cmake/tamsenorapi.pc.in
  ${PROJECT_BINARY_DIR}/tamsenorapi.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/tamsenorapi.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
