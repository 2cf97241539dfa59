# The Debian package: cmake --build build --target package (or scripts/package).
# Its version is the project's, as are --version, the About box and the manual page.
include(GNUInstallDirs)

set(LUMENO_PACKAGE_MAINTAINER "Lumeno maintainers <maintainers@lumeno.invalid>"
    CACHE STRING "Maintainer field of the Debian package and its changelog")

# Debian wants its copyright and changelog next to the other documents, the changelog
# compressed without a time stamp so the same sources give the same package.
find_program(GZIP gzip REQUIRED)
string(TIMESTAMP LUMENO_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(${PROJECT_SOURCE_DIR}/packaging/changelog.in ${PROJECT_BINARY_DIR}/packaging/changelog @ONLY)
add_custom_command(
  OUTPUT ${PROJECT_BINARY_DIR}/packaging/changelog.gz
  COMMAND ${GZIP} -9nc ${PROJECT_BINARY_DIR}/packaging/changelog > ${PROJECT_BINARY_DIR}/packaging/changelog.gz
  DEPENDS ${PROJECT_BINARY_DIR}/packaging/changelog
  COMMENT "Compressing the changelog")
add_custom_target(lumeno_changelog ALL DEPENDS ${PROJECT_BINARY_DIR}/packaging/changelog.gz)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright ${PROJECT_BINARY_DIR}/packaging/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME lumeno)
set(CPACK_PACKAGE_CONTACT "${LUMENO_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "assistive listening service with live captions")
# Debian wants the long description in lines of at most 80 characters.
set(CPACK_PACKAGE_DESCRIPTION [=[
Lumeno captures a microphone or mixing-desk feed and streams it over the
local network to listeners, who open its listener page on their own phones.
An offline speech recogniser adds live captions. It runs with a window for
the operator, or headless as a systemd user service on a spare computer.]=])
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# Runtime dependencies come from the linked libraries (dpkg-shlibdeps). What is loaded at run
# time is named here: the speech model, Qt's SVG plugin for the icon and its platform plugins
# for the window. The sound server may be either of Debian's.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "pocketsphinx-en-us, libqt6svg6, qt6-qpa-plugins")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "pipewire-pulse | pulseaudio")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
