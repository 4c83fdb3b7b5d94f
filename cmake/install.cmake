# `cmake --install` of the C++ package: headers, the three static libraries and a CMake package
# `epson_driver` with the imported targets epson::command, epson::telemetry, epson::hardware.
#
#   find_package(epson_driver 0.1 REQUIRED)
#   target_link_libraries(app PRIVATE epson::hardware)

include(CMakePackageConfigHelpers)

set(EPSON_CMAKE_INSTALL_DIR "${CMAKE_INSTALL_LIBDIR}/cmake/epson_driver")

install(TARGETS epson_command epson_telemetry epson_hardware
  EXPORT epson_driverTargets
  ARCHIVE DESTINATION "${CMAKE_INSTALL_LIBDIR}")
install(DIRECTORY
    "${PROJECT_SOURCE_DIR}/command/include/"
    "${PROJECT_SOURCE_DIR}/telemetry/include/"
    "${PROJECT_SOURCE_DIR}/hardware/include/"
    "${EPSON_GENERATED_INCLUDE_DIR}/"
  DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}"
  FILES_MATCHING PATTERN "*.h")
install(EXPORT epson_driverTargets
  NAMESPACE epson::
  DESTINATION "${EPSON_CMAKE_INSTALL_DIR}")

configure_package_config_file("${CMAKE_CURRENT_LIST_DIR}/epson_driverConfig.cmake.in"
  "${PROJECT_BINARY_DIR}/epson_driverConfig.cmake"
  INSTALL_DESTINATION "${EPSON_CMAKE_INSTALL_DIR}")
# Before 1.0 a minor release may change the API, so only the same MAJOR.MINOR matches.
write_basic_package_version_file("${PROJECT_BINARY_DIR}/epson_driverConfigVersion.cmake"
  VERSION "${PROJECT_VERSION}"
  COMPATIBILITY SameMinorVersion)
install(FILES
    "${PROJECT_BINARY_DIR}/epson_driverConfig.cmake"
    "${PROJECT_BINARY_DIR}/epson_driverConfigVersion.cmake"
  DESTINATION "${EPSON_CMAKE_INSTALL_DIR}")
