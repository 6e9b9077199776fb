# Install rules: headers, libraries, a CMake package (find_package(TamsenorAPI [COMPONENTS
# Testing ABTesting])) and pkg-config files (tamsenorapi, tamsenorapi-testing). Every installed
# file finds the others relative to itself, so the installed tree may be moved.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(TAMSENOR_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/TamsenorAPI)

install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/tamsenor DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
        PATTERN "*.in" EXCLUDE)
install(FILES ${TAMSENOR_GENERATED_INCLUDE}/tamsenor/Version.hpp
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tamsenor)

set_target_properties(TamsenorAPITesting PROPERTIES EXPORT_NAME Testing)
set_target_properties(TamsenorABTesting PROPERTIES EXPORT_NAME ABTesting)
install(TARGETS TamsenorAPI TamsenorABTesting TamsenorAPITesting EXPORT TamsenorAPITargets)
install(EXPORT TamsenorAPITargets NAMESPACE TamsenorAPI:: DESTINATION ${TAMSENOR_CMAKE_DIR})

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/TamsenorAPIConfig.cmake.in
  ${PROJECT_BINARY_DIR}/TamsenorAPIConfig.cmake INSTALL_DESTINATION ${TAMSENOR_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/TamsenorAPIConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/TamsenorAPIConfig.cmake
              ${PROJECT_BINARY_DIR}/TamsenorAPIConfigVersion.cmake
        DESTINATION ${TAMSENOR_CMAKE_DIR})

# pkg-config: the prefix is found from the .pc file's own place. A static build's archives need
# their dependencies on every link, and Debian ships libcurl's own dependencies as shared
# libraries only, so they are named in Libs rather than left to `pkg-config --static`.
file(RELATIVE_PATH TAMSENOR_PC_PREFIX /root/${CMAKE_INSTALL_LIBDIR}/pkgconfig /root)
if(BUILD_SHARED_LIBS)
  set(TAMSENOR_PC_DEPENDENCIES "")
else()
  set(TAMSENOR_PC_DEPENDENCIES " -lcurl -lssl -lcrypto -lboost_json -pthread")
endif()
foreach(pc tamsenorapi tamsenorapi-testing)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/${pc}.pc.in ${PROJECT_BINARY_DIR}/${pc}.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/${pc}.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endforeach()
