# Packages: a ZIP for Windows (the .exe and a README at the archive's top),
# a DEB elsewhere. Included by the top-level CMakeLists.txt after the
# programs exist; `cpack` in the build directory makes them.

set(CPACK_PACKAGE_NAME zumel-config)
set(CPACK_PACKAGE_VENDOR "Zumel configurator maintainers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "configurator for Tavelo controllers of the Zumel family")
set(CPACK_PACKAGE_CONTACT "Zumel configurator maintainers <zumel-config@example.org>"
    CACHE STRING "Maintainer named in the packages")
set(packaging ${CMAKE_CURRENT_LIST_DIR}/../packaging)

if(WIN32)
  # Technicians unpack and run: the .exe sits next to its README, not in bin/.
  set(readme_windows ${CMAKE_CURRENT_BINARY_DIR}/README-windows.txt)
  configure_file(${packaging}/README-windows.txt ${readme_windows} @ONLY NEWLINE_STYLE CRLF)
  install(TARGETS zumel-config RUNTIME DESTINATION . COMPONENT windows_zip)
  install(FILES ${readme_windows} DESTINATION . COMPONENT windows_zip)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_ALL windows_zip)
  set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
  set(CPACK_PACKAGE_FILE_NAME ${CPACK_PACKAGE_NAME}-${PROJECT_VERSION}-win64)
  include(CPack)
  return()
endif()

install(TARGETS zumel-config RUNTIME DESTINATION bin)

# Manual pages and the documents Debian expects, compressed as it expects.
include(GNUInstallDirs)
find_program(GZIP_PROGRAM gzip REQUIRED)
set(compressed "")
foreach(file zumel-config.1 zumel-emulator.1 changelog)
  set(output ${CMAKE_CURRENT_BINARY_DIR}/${file}.gz)
  add_custom_command(OUTPUT ${output} COMMAND sh -c "'${GZIP_PROGRAM}' -9n -c '${packaging}/${file}' > '${output}'"
                     DEPENDS ${packaging}/${file} VERBATIM)
  list(APPEND compressed ${output})
endforeach()
add_custom_target(compressed_documents ALL DEPENDS ${compressed})
list(POP_BACK compressed changelog)
install(FILES ${compressed} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${changelog} ${packaging}/copyright DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/zumel-config)
# Loaded by bash-completion when zumel-config is first completed; not compressed.
install(FILES ${packaging}/zumel-config.bash-completion DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
        RENAME zumel-config)

# A build whose COM ports are test devices must never become a package.
if(NOT ZUMEL_REAL_PORTS)
  message(STATUS "No packaging: this build's COM ports are under ${COM_DEVICE_PREFIX}")
  return()
endif()
set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${CPACK_PACKAGE_CONTACT})
# The summary comes first of itself.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "zumel-config reads and writes the configuration of a Tavelo controller of
the Zumel family over a serial line (Strivo protocol, 9600 Bd, 8O1): in a
dialogue at checked prompts, or scripted from configuration files to
commission many controllers alike. Any serial adapter is chosen at run
time. zumel-emulator stands in for a controller on a pseudo-terminal, to
practise without hardware.")
set(CPACK_STRIP_FILES ON)
# Dependencies as the programs link them (libc, libstdc++, libgcc).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
include(CPack)
