# Windows Installer packages, one per mingw tree: `cmake --build <tree> --target msi` makes
# packages/talvoro_macadress-VERSION-windows-PROCESSOR.msi from
# packaging/windows/talvoro_macadress.wxs with wixl, then adds with msibuild what wixl cannot
# write: the RemoveFile row for the service's log and the sequence places of the custom actions
# that stop the service and wait for it and that protect the new service entry (both tools
# come from msitools; Debian's packages wixl and msitools). The files are the Windows zip's, staged by
# `cmake --install --component service --strip`.
if(NOT WIN32)
  return()
endif()

# Made once, never to change: every version of either architecture is one product line, so
# a newer package replaces whatever older one is installed.
set(TALVORO_MSI_UPGRADE_CODE 4F353AE5-94F8-4CF4-9F67-D72E9CCDE8B8)
set(TALVORO_MSI_VERSION ${PROJECT_VERSION})
if(TALVORO_MSI_VERSION STREQUAL "")
  set(TALVORO_MSI_VERSION 1.0.0)
endif()
find_program(TALVORO_WIXL wixl)
find_program(TALVORO_MSIBUILD msibuild)

# The deferred custom actions: a DLL the package carries in its Binary table, never installed.
# The protection is the platform's own, the call `-i` makes.
add_library(talvoro_msi_actions MODULE
            ${PROJECT_SOURCE_DIR}/packaging/windows/service_stop_action.cpp
            ${PROJECT_SOURCE_DIR}/packaging/windows/service_protect_action.cpp)
talvoro_target_defaults(talvoro_msi_actions)
set_target_properties(talvoro_msi_actions PROPERTIES PREFIX "")
# Self-contained (the installer loads it alone from a temporary file), and its entry exported
# by the plain name the installer looks up, without the 32-bit stdcall suffix.
target_link_options(talvoro_msi_actions PRIVATE -static -Wl,--kill-at)
# msi is the package target's name too: the library goes by its flag.
target_link_libraries(talvoro_msi_actions PRIVATE talvoro_platform advapi32 -lmsi)

# TARGET builds the package of VERSION as OUTPUT; AFTER (optional) is a package target that
# must finish first, as both stage through `cmake --install` of this tree.
function(talvoro_add_msi target version output)
  if(NOT version MATCHES "^[0-9]+\\.[0-9]+\\.[0-9]+$")
    # Windows Installer compares three fields only: a fourth would not make an upgrade.
    message(FATAL_ERROR "MSI version ${version}: three numbers are needed")
  endif()
  if(NOT TALVORO_WIXL OR NOT TALVORO_MSIBUILD)
    add_custom_target(${target} COMMAND ${CMAKE_COMMAND} -E echo
                      "${target}: wixl and msibuild are needed (apt-get install wixl msitools)"
                      COMMAND ${CMAKE_COMMAND} -E false)
    return()
  endif()
  if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
    set(arch x64)
    set(win64 yes)
    set(program_files ProgramFiles64Folder)
  else()
    set(arch x86)
    set(win64 no)
    set(program_files ProgramFilesFolder)
  endif()
  # One product code per version, the same for both architectures: a package of an installed
  # version, rebuilt or of the other architecture, is taken for the installed product rather
  # than installed beside it with a second claim on the one service.
  string(UUID product_code NAMESPACE ${TALVORO_MSI_UPGRADE_CODE} NAME ${version} TYPE SHA1 UPPER)
  set(work ${CMAKE_CURRENT_BINARY_DIR}/${target})
  set(wxs ${PROJECT_SOURCE_DIR}/packaging/windows/talvoro_macadress.wxs)
  set(draft ${work}/package.msi)
  # InstallMode 2: on removal.
  set(remove_log "INSERT INTO `RemoveFile` (`FileKey`, `Component_`, `FileName`, `DirProperty`, \
`InstallMode`) VALUES ('RemoveLog', 'Service', 'TALVOR~1.LOG|talvoro_macadress.log', \
'INSTALLDIR', 2)")
  # wixl re-sorts the standard actions around a sequenced custom one, so its number is set
  # here: after UnpublishFeatures (1800), before StopServices (1900).
  set(sequence_stop "INSERT INTO `InstallExecuteSequence` (`Action`, `Sequence`) VALUES \
('StopServiceAndWait', 1850)")
  # After InstallServices (5800) has made the entry, before StartServices (5900) starts it; not
  # when the product goes (nor in an upgrade's removal of the older one).
  set(sequence_protect "INSERT INTO `InstallExecuteSequence` (`Action`, `Condition`, \
`Sequence`) VALUES ('ProtectService', 'NOT REMOVE~=\"ALL\"', 5850)")
  add_custom_command(OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${work}/files
    COMMAND ${CMAKE_COMMAND} --install ${CMAKE_BINARY_DIR} --component service --strip
            --prefix ${work}/files
    COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:talvoro_msi_actions> ${work}/
    # wixl finds sources only below its working folder.
    COMMAND ${CMAKE_COMMAND} -E chdir ${work}
            ${TALVORO_WIXL} -a ${arch} -D Version=${version} -D ProductCode=${product_code}
            -D UpgradeCode=${TALVORO_MSI_UPGRADE_CODE} -D Win64=${win64}
            -D ProgramFilesFolder=${program_files} -o ${draft} ${wxs}
    COMMAND ${TALVORO_MSIBUILD} ${draft} -q ${remove_log} -q ${sequence_stop} -q ${sequence_protect}
    # Only a finished package goes to its place.
    COMMAND ${CMAKE_COMMAND} -E copy ${draft} ${output}
    DEPENDS talvoro_macadress talvoro_msi_actions ${wxs} ${PROJECT_SOURCE_DIR}/docs/guide.md
            ${PROJECT_SOURCE_DIR}/packaging/bin-README.txt ${CMAKE_CURRENT_FUNCTION_LIST_FILE}
    COMMENT "Windows Installer package ${output}" VERBATIM)
  add_custom_target(${target} DEPENDS ${output})
  if(ARGC GREATER 3)
    add_dependencies(${target} ${ARGV3})
  endif()
endfunction()

# The file name of the package of VERSION, named as the zip is.
function(talvoro_msi_name variable version)
  set(${variable} talvoro_macadress-${version}-windows-${CMAKE_SYSTEM_PROCESSOR}.msi PARENT_SCOPE)
endfunction()

talvoro_msi_name(talvoro_msi_name ${TALVORO_MSI_VERSION})
set(TALVORO_MSI_FILE ${CMAKE_BINARY_DIR}/packages/${talvoro_msi_name})
talvoro_add_msi(msi ${TALVORO_MSI_VERSION} ${TALVORO_MSI_FILE})
