# Packages: a ZIP for Windows (the .exe and a README at the archive's top),
# a DEB elsewhere. Included by the top-level CMakeLists.txt after the
# zumel-config target exists; `cpack` in the build directory makes them.

set(CPACK_PACKAGE_NAME zumel-config)
set(CPACK_PACKAGE_VENDOR "Tavelo")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Console configurator for Tavelo controllers of the Zumel family")
set(CPACK_PACKAGE_DESCRIPTION
    "Reads and writes a Zumel controller's configuration over a serial line (9600 Bd, 8O1).")
set(CPACK_PACKAGE_CONTACT "Zumel configurator maintainers <zumel-config@localhost>"
    CACHE STRING "Maintainer named in the packages")

if(WIN32)
  # Technicians unpack and run: the .exe sits next to its README, not in bin/.
  set(readme_windows ${CMAKE_CURRENT_BINARY_DIR}/README-windows.txt)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/../packaging/README-windows.txt ${readme_windows}
                 @ONLY NEWLINE_STYLE CRLF)
  install(TARGETS zumel-config RUNTIME DESTINATION . COMPONENT windows_zip)
  install(FILES ${readme_windows} DESTINATION . COMPONENT windows_zip)

  set(CPACK_GENERATOR ZIP)
  set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_ALL windows_zip)
  set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
  set(CPACK_PACKAGE_FILE_NAME ${CPACK_PACKAGE_NAME}-${PROJECT_VERSION}-win64)
elseif(NOT COM_DEVICE_PREFIX STREQUAL "/dev/ttyS")
  # A build whose COM ports are test devices must never become a package.
  message(STATUS "No packaging: COM ports of this build are under ${COM_DEVICE_PREFIX}")
  return()
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${CPACK_PACKAGE_CONTACT})
  # Only the program is installed; its dependencies are what it links
  # (libc, libstdc++, libgcc), found by dpkg-shlibdeps where it exists.
  find_program(DPKG_SHLIBDEPS_PROGRAM dpkg-shlibdeps)
  if(DPKG_SHLIBDEPS_PROGRAM)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  else()
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1")
  endif()
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
endif()

include(CPack)
