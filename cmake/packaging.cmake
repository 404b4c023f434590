# Packages, made with CPack from the component "service":
#   Windows (each mingw tree): cpack -G ZIP, a zip with the executable, bin\ holding a note on
#     the TLS tunnel, and the guide.
#   Linux (a native tree): cpack -G DEB, the binary in /opt/talvoro_macadress, the systemd
#     unit that `-i` would write for it, the same bin/ note and the guide; its maintainer
#     scripts enable the unit and start it where systemd runs.
set(TALVORO_PACKAGING_DIR ${PROJECT_SOURCE_DIR}/packaging)
set(TALVORO_UNIT_NAME Talvoro_macadress.service)
set(TALVORO_DEB_HOME /opt/talvoro_macadress)

if(WIN32)
  set(talvoro_home .)
  set(talvoro_guide_dir .)
else()
  set(talvoro_home opt/talvoro_macadress)
  set(talvoro_guide_dir usr/share/doc/talvoro-macadress)
endif()

install(TARGETS talvoro_macadress RUNTIME DESTINATION ${talvoro_home} COMPONENT service)
install(FILES ${TALVORO_PACKAGING_DIR}/bin-README.txt DESTINATION ${talvoro_home}/bin
        RENAME README.txt COMPONENT service)
install(FILES ${PROJECT_SOURCE_DIR}/docs/guide.md DESTINATION ${talvoro_guide_dir}
        COMPONENT service)

if(NOT WIN32)
  # The unit text comes from the product's own SystemdUnitText, for the packaged path.
  add_executable(talvoro_unit_text ${TALVORO_PACKAGING_DIR}/unit_text.cpp)
  talvoro_target_defaults(talvoro_unit_text)
  target_link_libraries(talvoro_unit_text PRIVATE talvoro_platform)
  set(talvoro_unit_file ${CMAKE_BINARY_DIR}/packaging/${TALVORO_UNIT_NAME})
  add_custom_command(OUTPUT ${talvoro_unit_file}
                     COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/packaging
                     COMMAND talvoro_unit_text ${TALVORO_DEB_HOME}/talvoro_macadress
                             ${talvoro_unit_file}
                     DEPENDS talvoro_unit_text VERBATIM)
  add_custom_target(talvoro_unit ALL DEPENDS ${talvoro_unit_file})
  install(FILES ${talvoro_unit_file} DESTINATION lib/systemd/system COMPONENT service)
endif()

set(CPACK_PACKAGE_NAME talvoro_macadress)
set(CPACK_PACKAGE_VENDOR "Talvoro")
set(CPACK_PACKAGE_VERSION 1.0.0)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Background service that tells web pages this machine's hardware (MAC) address")
set(CPACK_PACKAGE_CONTACT "Talvoro <support@talvoro.example>")
set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};${PROJECT_NAME};service;/")
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME
      talvoro_macadress-${CPACK_PACKAGE_VERSION}-windows-${CMAKE_SYSTEM_PROCESSOR})
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /)
  set(CPACK_DEBIAN_PACKAGE_NAME talvoro-macadress)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION net)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1")
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${TALVORO_PACKAGING_DIR}/debian/postinst
      ${TALVORO_PACKAGING_DIR}/debian/prerm ${TALVORO_PACKAGING_DIR}/debian/postrm)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
endif()
include(CPack)
