# What a release ships and how CPack packs it. The MinGW build makes the Windows zip; the native
# build makes the Linux tarball (component "tarball") and the Debian package (component
# "debian"), each generator packing only its own component. scripts/release drives both builds.
#
# The archives must be the same bytes from any checkout: the install rules give every file its
# permissions, and a script run before packing gives every staged file and directory the same
# mode and the time of the last commit (SOURCE_DATE_EPOCH), whatever the umask and clock were.

set(packaging_dir ${PROJECT_SOURCE_DIR}/packaging)
set(release_staging ${CMAKE_CURRENT_BINARY_DIR}/release-files)
set(PANEL_RELAY_DEBIAN_REVISION 1)
set(PANEL_RELAY_DEBIAN_VERSION ${PROJECT_VERSION}-${PANEL_RELAY_DEBIAN_REVISION})
# Dates in the documents: the last commit's when scripts/release sets SOURCE_DATE_EPOCH.
string(TIMESTAMP PANEL_RELAY_RELEASE_DATE "%Y-%m-%d" UTC)

set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(program_permissions ${CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS})
set(document_permissions OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
set(release_programs panel-relay panel-emulator sim-emulator)

# The reference panel's firmware, in the zip and the tarball: the .hex of the AVR build (which
# scripts/release makes first and names here) and the sketch folder, to flash or to build.
set(PANEL_RELAY_FIRMWARE_HEX "" CACHE FILEPATH
    "The reference panel's relay_panel.hex to ship (scripts/release sets it)")
function(install_firmware)
  if(NOT PANEL_RELAY_FIRMWARE_HEX)
    return()
  endif()
  install(FILES ${PANEL_RELAY_FIRMWARE_HEX} DESTINATION firmware ${ARGN}
          PERMISSIONS ${document_permissions})
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/firmware/relay_panel DESTINATION firmware ${ARGN}
          FILE_PERMISSIONS ${document_permissions}
          DIRECTORY_PERMISSIONS ${CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS})
endfunction()

set(CPACK_PACKAGE_NAME panel-relay)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The panel-relay developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "relays simulator cockpit display text to a text panel")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/packages)
set(CPACK_PRE_BUILD_SCRIPTS ${packaging_dir}/normalize_staging.cmake)
set(CPACK_PROJECT_CONFIG_FILE ${packaging_dir}/cpack_per_generator.cmake)

if(WIN32)
  # The zip: programs as built, the launcher, and the documents with Windows line ends.
  configure_file(${packaging_dir}/README.txt.in ${release_staging}/README.txt @ONLY
                 NEWLINE_STYLE CRLF)
  configure_file(${PROJECT_SOURCE_DIR}/LICENSE ${release_staging}/LICENSE.txt @ONLY
                 NEWLINE_STYLE CRLF)
  configure_file(${packaging_dir}/pages.txt ${release_staging}/pages.txt @ONLY
                 NEWLINE_STYLE CRLF)
  configure_file("${packaging_dir}/windows/Start panel-relay.cmd"
                 "${release_staging}/Start panel-relay.cmd" @ONLY NEWLINE_STYLE CRLF)
  install(TARGETS ${release_programs} RUNTIME DESTINATION . PERMISSIONS ${program_permissions})
  install(FILES "${release_staging}/Start panel-relay.cmd" ${release_staging}/README.txt
                ${release_staging}/LICENSE.txt ${release_staging}/pages.txt
          DESTINATION . PERMISSIONS ${document_permissions})
  install_firmware()
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME panel-relay-${PROJECT_VERSION}-windows-x64)
  include(CPack)
  return()
endif()

configure_file(${packaging_dir}/README.txt.in ${release_staging}/README @ONLY)
set(examples ${packaging_dir}/pages.txt ${packaging_dir}/99-panel-relay.rules)
# Linux alone has the tool that gives a Wine prefix its COM4.
list(APPEND release_programs panel-relay-com4)

# The tarball: everything in one directory.
install(TARGETS ${release_programs} RUNTIME DESTINATION . COMPONENT tarball
        PERMISSIONS ${program_permissions})
install(FILES ${release_staging}/README ${PROJECT_SOURCE_DIR}/LICENSE ${examples}
        DESTINATION . COMPONENT tarball PERMISSIONS ${document_permissions})
install_firmware(COMPONENT tarball)

# The Debian package: programs, manual pages and the documentation directory. Manual pages and
# the changelog are compressed without a name or a time in their gzip headers.
set(doc_dir share/doc/panel-relay)
file(STRINGS ${packaging_dir}/debian/changelog changelog_top LIMIT_COUNT 1)
if(NOT changelog_top MATCHES "^panel-relay \\(${PANEL_RELAY_DEBIAN_VERSION}\\) ")
  message(FATAL_ERROR "packaging/debian/changelog must start with an entry for "
                      "${PANEL_RELAY_DEBIAN_VERSION}, the project's version: ${changelog_top}")
endif()
set(compressed_documents)
foreach(program IN LISTS release_programs)
  configure_file(${packaging_dir}/man/${program}.1.in ${release_staging}/${program}.1 @ONLY)
  list(APPEND compressed_documents ${program}.1)
endforeach()
configure_file(${packaging_dir}/debian/changelog ${release_staging}/changelog.Debian COPYONLY)
list(APPEND compressed_documents changelog.Debian)
set(compressed_outputs)
foreach(document IN LISTS compressed_documents)
  add_custom_command(OUTPUT ${release_staging}/${document}.gz
                     COMMAND gzip -9 -n -c ${document} > ${document}.gz
                     DEPENDS ${release_staging}/${document}
                     WORKING_DIRECTORY ${release_staging} VERBATIM)
  list(APPEND compressed_outputs ${release_staging}/${document}.gz)
endforeach()
add_custom_target(release_documents ALL DEPENDS ${compressed_outputs})

install(TARGETS ${release_programs} RUNTIME DESTINATION bin COMPONENT debian
        PERMISSIONS ${program_permissions})
list(TRANSFORM release_programs APPEND .1.gz OUTPUT_VARIABLE manual_pages)
list(TRANSFORM manual_pages PREPEND ${release_staging}/)
install(FILES ${manual_pages} DESTINATION share/man/man1 COMPONENT debian
        PERMISSIONS ${document_permissions})
install(FILES ${release_staging}/README ${packaging_dir}/debian/copyright
              ${release_staging}/changelog.Debian.gz
        DESTINATION ${doc_dir} COMPONENT debian PERMISSIONS ${document_permissions})
install(FILES ${examples} DESTINATION ${doc_dir}/examples COMPONENT debian
        PERMISSIONS ${document_permissions})
install(FILES ${packaging_dir}/debian/lintian-overrides DESTINATION share/lintian/overrides
        RENAME panel-relay COMPONENT debian PERMISSIONS ${document_permissions})

set(CPACK_GENERATOR TGZ DEB)
set(CPACK_COMPONENTS_ALL tarball debian)
set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
set(CPACK_ARCHIVE_TARBALL_FILE_NAME panel-relay-${PROJECT_VERSION}-linux-x86_64)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_DEBIAN_PACKAGE_NAME panel-relay)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${PANEL_RELAY_DEBIAN_REVISION})
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "panel-relay developers <panel-relay@users.noreply.invalid>")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
file(READ ${packaging_dir}/debian/description CPACK_DEBIAN_DEBIAN_DESCRIPTION)
string(STRIP "${CPACK_DEBIAN_DEBIAN_DESCRIPTION}" CPACK_DEBIAN_DEBIAN_DESCRIPTION)

include(CPack)
