# Packages, made with CPack from the component "service":
#   Windows (each mingw tree): cpack -G ZIP, a zip with the executable, bin\ holding a note on
#     the TLS tunnel, and the guide.
#   Linux (a native tree): cpack -G DEB, the binary in /opt/talvoro_macadress, the systemd
#     unit that `-i` would write for it, the same bin/ note, the guide, the copyright and
#     changelog Debian asks for; its maintainer scripts (packaging/debian) enable the unit and
#     start it where systemd runs, as debhelper's would.
set(TALVORO_PACKAGING_DIR ${PROJECT_SOURCE_DIR}/packaging)
set(TALVORO_UNIT_NAME Talvoro_macadress.service)
set(TALVORO_DEB_HOME /opt/talvoro_macadress)
set(TALVORO_PACKAGE_VERSION ${PROJECT_VERSION})

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
  set(talvoro_deb_dir ${TALVORO_PACKAGING_DIR}/debian)
  set(talvoro_deb_out ${CMAKE_BINARY_DIR}/packaging)
  # A native package: the changelog's newest entry carries the package's own version.
  file(STRINGS ${talvoro_deb_dir}/changelog talvoro_changelog_head LIMIT_COUNT 1)
  string(REGEX MATCH "^talvoro-macadress \\(([^)]*)\\)" _ "${talvoro_changelog_head}")
  if(NOT CMAKE_MATCH_1 STREQUAL TALVORO_PACKAGE_VERSION)
    message(FATAL_ERROR "packaging/debian/changelog: the newest entry is not version "
                        "${TALVORO_PACKAGE_VERSION}: ${talvoro_changelog_head}")
  endif()

  # The unit text comes from the product's own SystemdUnitText, for the packaged path.
  add_executable(talvoro_unit_text ${TALVORO_PACKAGING_DIR}/unit_text.cpp)
  talvoro_target_defaults(talvoro_unit_text)
  target_link_libraries(talvoro_unit_text PRIVATE talvoro_platform)
  set(talvoro_unit_file ${talvoro_deb_out}/${TALVORO_UNIT_NAME})
  add_custom_command(OUTPUT ${talvoro_unit_file}
                     COMMAND ${CMAKE_COMMAND} -E make_directory ${talvoro_deb_out}
                     COMMAND talvoro_unit_text ${TALVORO_DEB_HOME}/talvoro_macadress
                             ${talvoro_unit_file}
                     DEPENDS talvoro_unit_text VERBATIM)
  # -n leaves out the name and time stamp, so the same changelog makes the same file.
  find_program(TALVORO_GZIP gzip REQUIRED)
  add_custom_command(OUTPUT ${talvoro_deb_out}/changelog.gz
                     COMMAND ${CMAKE_COMMAND} -E copy ${talvoro_deb_dir}/changelog
                             ${talvoro_deb_out}/changelog
                     COMMAND ${TALVORO_GZIP} -9nf ${talvoro_deb_out}/changelog
                     DEPENDS ${talvoro_deb_dir}/changelog VERBATIM)
  add_custom_target(talvoro_deb_files ALL
                    DEPENDS ${talvoro_unit_file} ${talvoro_deb_out}/changelog.gz)
  install(FILES ${talvoro_unit_file} DESTINATION lib/systemd/system COMPONENT service)
  install(FILES ${talvoro_deb_dir}/copyright ${talvoro_deb_out}/changelog.gz
          DESTINATION ${talvoro_guide_dir} COMPONENT service)
  install(FILES ${talvoro_deb_dir}/lintian-overrides DESTINATION usr/share/lintian/overrides
          RENAME talvoro-macadress COMPONENT service)
  # A stripped install (cpack's) also drops the compiler's notes, as dh_strip does.
  install(CODE "if(CMAKE_INSTALL_DO_STRIP)
    execute_process(COMMAND \"${CMAKE_STRIP}\" --remove-section=.comment --remove-section=.note
      \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${talvoro_home}/talvoro_macadress\"
      COMMAND_ERROR_IS_FATAL ANY)
  endif()" COMPONENT service)
endif()

set(CPACK_PACKAGE_NAME talvoro_macadress)
set(CPACK_PACKAGE_VENDOR "Talvoro")
set(CPACK_PACKAGE_VERSION ${TALVORO_PACKAGE_VERSION})
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
  # The long part of the control file's Description, in lines that fit 80 columns indented.
  string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
    "A page served from elsewhere calls it from the user's browser on TCP port"
    "10032 of this machine (every IPv4 interface answers) and gets the address of"
    "the first network adapter that has a gateway, if the page's origin matches"
    "the parameter its site enciphered for it. It keeps a TLS tunnel program for"
    "HTTPS pages running from /opt/talvoro_macadress/bin; that program is"
    "installed separately."
    ""
    "The package runs it as the systemd unit Talvoro_macadress.service, enabled"
    "and started on installation. Its log is"
    "/opt/talvoro_macadress/talvoro_macadress.log.")
  set(CPACK_DEBIAN_PACKAGE_SECTION net)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # Versioned library dependencies where dpkg-shlibdeps (dpkg-dev) is at hand.
  find_program(TALVORO_DPKG_SHLIBDEPS dpkg-shlibdeps)
  if(TALVORO_DPKG_SHLIBDEPS)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  else()
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1")
  endif()
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${TALVORO_PACKAGING_DIR}/debian/postinst
      ${TALVORO_PACKAGING_DIR}/debian/prerm ${TALVORO_PACKAGING_DIR}/debian/postrm)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
endif()
include(CPack)
