# What `cmake --install` puts in place.
#
# A wheel build (SKBUILD) gets the type stubs here; the module and the CLI
# install themselves. Any other build installs the C++ package: the public
# headers of include/quorvane/, the static
# libraries exported as quorvane::core and quorvane::provided, and a package
# config for find_package(quorvane).

if(SKBUILD)
  # A stub-only package (PEP 561) beside the top-level extension module.
  install(FILES ${PROJECT_SOURCE_DIR}/python/quorvane-stubs/__init__.pyi DESTINATION quorvane-stubs)
  return()
endif()
if(QUORVANE_STATIC_DEPS)
  # ICU and Highway compiled here for the wheel are no part of the C++
  # package; a build with them outside a wheel (the cross-compiled tests)
  # installs nothing.
  return()
endif()

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(_quorvane_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/quorvane)

set_target_properties(quorvane_core PROPERTIES EXPORT_NAME core)
set_target_properties(quorvane_provided PROPERTIES EXPORT_NAME provided)
# The public headers exactly as they are in include/quorvane/; internal/
# holds what they need but promises no stability.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/quorvane DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

install(TARGETS quorvane_core quorvane_provided EXPORT quorvane-targets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(EXPORT quorvane-targets NAMESPACE quorvane:: DESTINATION ${_quorvane_cmake_dir})

configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/quorvane-config.cmake.in
  ${PROJECT_BINARY_DIR}/quorvane-config.cmake
  INSTALL_DESTINATION ${_quorvane_cmake_dir})
# 0.x: a minor release may change the interface.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/quorvane-config-version.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/quorvane-config.cmake
  ${PROJECT_BINARY_DIR}/quorvane-config-version.cmake
  DESTINATION ${_quorvane_cmake_dir})
