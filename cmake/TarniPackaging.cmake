# What `cmake --install` puts where, and the packages CPack makes of it.
#
# Every path is relative to the prefix, so the same tree works as /usr (the
# .deb) and as a folder unpacked anywhere (the .tar.gz): the application finds
# its resources and the native host from its own executable's folder.
#   bin/                      tarnibar, tarnibar-cli
#   lib/tarnibar/             TarniBarChromeHost
#   share/tarnibar/           string tables, icons, ChromeExtension/, FirefoxExtension/,
#                             gnome-shell-extension/{legacy,modules}/
#   share/applications/, share/metainfo/, share/icons/, share/man/man1/
# The .deb adds the browsers' system-wide native messaging manifests and the
# Debian documentation files (the "Debian" component, left out of a plain
# install).

set(TARNI_HOMEPAGE "https://tarnibar.example.org/" CACHE STRING "The project's home page, named by the packages")
set(TARNI_SCREENSHOT_URL "https://tarnibar.example.org/screenshots" CACHE STRING
    "Where the published screenshots (docs/screenshots) can be downloaded, for the software centre")
set(TARNI_PACKAGE_MAINTAINER "TarniBar developers <tarnibar@example.org>" CACHE STRING "The .deb's maintainer")
set(TARNI_LICENSE "LicenseRef-proprietary" CACHE STRING "The licence, as an SPDX expression")

# The sidebar's WM_CLASS: Qt takes it from the application name set in main().
set(TARNI_WM_CLASS tarnibar)
# The extension the browsers' manifests admit, read from the one place that names it.
file(STRINGS ${PROJECT_SOURCE_DIR}/src/core/chrome/ChromeExtensionIdentity.h tarni_id_line
     REGEX "kChromeExtensionID = \"[a-p]+\"")
string(REGEX MATCH "\"[a-p]+\"" TARNI_CHROME_EXTENSION_ID "${tarni_id_line}")
string(REPLACE "\"" "" TARNI_CHROME_EXTENSION_ID "${TARNI_CHROME_EXTENSION_ID}")
string(LENGTH "${TARNI_CHROME_EXTENSION_ID}" tarni_id_length)
if(NOT tarni_id_length EQUAL 32)
  message(FATAL_ERROR "cannot read the extension id from ChromeExtensionIdentity.h")
endif()
file(STRINGS ${PROJECT_SOURCE_DIR}/src/core/chrome/ChromeExtensionIdentity.h tarni_id_line
     REGEX "kFirefoxExtensionID = \"[a-z0-9.@-]+\"")
string(REGEX MATCH "\"[a-z0-9.@-]+\"" TARNI_FIREFOX_EXTENSION_ID "${tarni_id_line}")
string(REPLACE "\"" "" TARNI_FIREFOX_EXTENSION_ID "${TARNI_FIREFOX_EXTENSION_ID}")
if(TARNI_FIREFOX_EXTENSION_ID STREQUAL "")
  message(FATAL_ERROR "cannot read the Firefox extension id from ChromeExtensionIdentity.h")
endif()

set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(tarni_packaging ${PROJECT_SOURCE_DIR}/packaging)
set(tarni_generated ${PROJECT_BINARY_DIR}/packaging)

install(TARGETS tarnibar tarnibar-cli RUNTIME DESTINATION bin COMPONENT Runtime)
install(TARGETS TarniBarChromeHost RUNTIME DESTINATION lib/tarnibar COMPONENT Runtime)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/resources/ DESTINATION share/tarnibar COMPONENT Runtime)
# Both builds of the companion extension (cmake/TarniBrowserExtension.cmake):
# only what the browser loads.
install(DIRECTORY ${TARNI_BROWSER_EXTENSION_DIR}/chromium/ DESTINATION share/tarnibar/ChromeExtension
        COMPONENT Runtime)
install(DIRECTORY ${TARNI_BROWSER_EXTENSION_DIR}/firefox/ DESTINATION share/tarnibar/FirefoxExtension
        COMPONENT Runtime)

# Both builds of the GNOME Shell extension; the application installs the one
# the running shell loads for the user.
foreach(form legacy modules)
  install(FILES ${TARNI_GNOME_SHELL_EXTENSION_DIR}/${form}/metadata.json ${TARNI_GNOME_SHELL_EXTENSION_DIR}/${form}/extension.js
          DESTINATION share/tarnibar/gnome-shell-extension/${form} COMPONENT Runtime)
endforeach()

configure_file(${tarni_packaging}/com.tarni.bar.desktop ${tarni_generated}/com.tarni.bar.desktop @ONLY)
configure_file(${tarni_packaging}/com.tarni.bar.metainfo.xml ${tarni_generated}/com.tarni.bar.metainfo.xml @ONLY)
install(FILES ${tarni_generated}/com.tarni.bar.desktop DESTINATION share/applications COMPONENT Runtime)
install(FILES ${tarni_generated}/com.tarni.bar.metainfo.xml DESTINATION share/metainfo COMPONENT Runtime)
install(FILES ${tarni_packaging}/com.tarni.bar.svg DESTINATION share/icons/hicolor/scalable/apps COMPONENT Runtime)

# Manual pages and the Debian changelog go out compressed, without a time
# stamp, as Debian wants them; man(1) reads them the same way.
set(tarni_compressed)
function(tarni_gzip source target)
  add_custom_command(OUTPUT ${target}
    COMMAND gzip -9 -n -c ${source} > ${target}
    DEPENDS ${source}
    VERBATIM)
  set(tarni_compressed ${tarni_compressed} ${target} PARENT_SCOPE)
endfunction()
foreach(page tarnibar.1 tarnibar-cli.1)
  configure_file(${tarni_packaging}/man/${page} ${tarni_generated}/man/${page} @ONLY)
  tarni_gzip(${tarni_generated}/man/${page} ${tarni_generated}/man/${page}.gz)
  install(FILES ${tarni_generated}/man/${page}.gz DESTINATION share/man/man1 COMPONENT Runtime)
endforeach()

# --- the .deb's own files ------------------------------------------------
# The system-wide manifests let the browser start the host before the
# application has ever run. Files in /etc would be conffiles, which `dpkg -r`
# keeps; the Chromium family's manifest therefore lives under /usr/share and
# /etc holds only links to it, which dpkg removes with the package. The
# folders (see BrowserCatalogue.cpp for where each comes from): Chrome,
# Chromium, Edge, Brave, Vivaldi. Firefox's folder is under /usr/lib, so the
# Firefox family gets the file itself, for Firefox and LibreWolf.
set(TARNI_DEB_PREFIX /usr)
set(tarni_manifest_dir ${TARNI_DEB_PREFIX}/share/tarnibar/NativeMessagingHosts)
configure_file(${tarni_packaging}/debian/com.tarni.bar.chrome.json ${tarni_generated}/debian/com.tarni.bar.chrome.json
               @ONLY)
install(FILES ${tarni_generated}/debian/com.tarni.bar.chrome.json DESTINATION share/tarnibar/NativeMessagingHosts
        COMPONENT Debian EXCLUDE_FROM_ALL)
file(MAKE_DIRECTORY ${tarni_generated}/debian/links)
file(CREATE_LINK ${tarni_manifest_dir}/com.tarni.bar.chrome.json
     ${tarni_generated}/debian/links/com.tarni.bar.chrome.json SYMBOLIC)
foreach(dir /etc/opt/chrome /etc/chromium /etc/opt/edge /etc/brave /etc/opt/vivaldi)
  install(FILES ${tarni_generated}/debian/links/com.tarni.bar.chrome.json DESTINATION ${dir}/native-messaging-hosts
          COMPONENT Debian EXCLUDE_FROM_ALL)
endforeach()
configure_file(${tarni_packaging}/debian/firefox/com.tarni.bar.chrome.json
               ${tarni_generated}/debian/firefox/com.tarni.bar.chrome.json @ONLY)
foreach(dir lib/mozilla lib/librewolf)
  install(FILES ${tarni_generated}/debian/firefox/com.tarni.bar.chrome.json DESTINATION ${dir}/native-messaging-hosts
          COMPONENT Debian EXCLUDE_FROM_ALL)
endforeach()

# The session bus starts the application for a call to com.tarni.bar; the
# application writes no copy of its own for the user while this one names it.
configure_file(${tarni_packaging}/debian/com.tarni.bar.service ${tarni_generated}/debian/com.tarni.bar.service @ONLY)
install(FILES ${tarni_generated}/debian/com.tarni.bar.service DESTINATION share/dbus-1/services
        COMPONENT Debian EXCLUDE_FROM_ALL)

configure_file(${tarni_packaging}/debian/copyright ${tarni_generated}/debian/copyright @ONLY)
configure_file(${tarni_packaging}/debian/changelog ${tarni_generated}/debian/changelog @ONLY)
tarni_gzip(${tarni_generated}/debian/changelog ${tarni_generated}/debian/changelog.gz)
install(FILES ${tarni_generated}/debian/copyright ${tarni_generated}/debian/changelog.gz
        DESTINATION share/doc/tarnibar COMPONENT Debian EXCLUDE_FROM_ALL)

# The extension for every user of the system, in the form GNOME Shell 43 and
# 44 load (Debian 12's); a user's own copy, which the application writes for
# newer shells, takes its place.
install(FILES ${TARNI_GNOME_SHELL_EXTENSION_DIR}/legacy/metadata.json ${TARNI_GNOME_SHELL_EXTENSION_DIR}/legacy/extension.js
        DESTINATION share/gnome-shell/extensions/${TARNI_GNOME_SHELL_EXTENSION_UUID} COMPONENT Debian EXCLUDE_FROM_ALL)

# Chrome's folder lies in /etc/opt, which lintian reserves for /opt software.
install(FILES ${tarni_packaging}/debian/tarnibar.lintian-overrides DESTINATION share/lintian/overrides
        RENAME tarnibar COMPONENT Debian EXCLUDE_FROM_ALL)

add_custom_target(tarni_packaging_files ALL DEPENDS ${tarni_compressed})

# --- CPack ---------------------------------------------------------------
set(CPACK_PACKAGE_NAME tarnibar)
set(CPACK_PACKAGE_VENDOR "Tarni")
set(CPACK_PACKAGE_CONTACT "${TARNI_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "working context kept as one tree in a docked sidebar")
set(CPACK_PACKAGE_DESCRIPTION
    "TarniBar keeps your working context - groups, captured Chrome tabs, web
links, Slack threads, files and folders - as one persistent tree in a sidebar
docked at the left edge of the screen. From the tree you open nodes in their
own applications, restore a group's Chrome tabs into one window, place the
windows it opened beside the sidebar, keep snapshots, and export and import
subtrees as JSON. A companion Chrome extension and a native messaging host
connect the browser.")
set(CPACK_PACKAGE_HOMEPAGE_URL "${TARNI_HOMEPAGE}")
set(CPACK_GENERATOR "DEB;TGZ")
set(CPACK_SOURCE_GENERATOR "")
set(CPACK_STRIP_FILES ON)
set(CPACK_VERBATIM_VARIABLES ON)
set(CPACK_PACKAGE_FILE_NAME "tarnibar-${PROJECT_VERSION}-Linux")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Loaded at run time, so the shared-library scan cannot see them: the X11
# platform plugin, the SVG icon plugin, and xdg-open for opening nodes.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, libqt6svg6, xdg-utils")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-noto-cjk, qt6-translations-l10n")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "chromium | google-chrome-stable | firefox-esr | firefox")
# Each package takes its own part of the install: the tarball everything a
# plain install gives, the .deb that and its Debian files, installed below
# DESTDIR so that the /etc links land in the package.
set(CPACK_PROJECT_CONFIG_FILE ${tarni_generated}/CPackProjectConfig.cmake)
file(WRITE ${CPACK_PROJECT_CONFIG_FILE} "
if(CPACK_GENERATOR STREQUAL \"DEB\")
  set(CPACK_SET_DESTDIR ON)
  set(CPACK_PACKAGING_INSTALL_PREFIX \"${TARNI_DEB_PREFIX}\")
  set(CPACK_INSTALL_PREFIX \"${TARNI_DEB_PREFIX}\")
  set(CPACK_INSTALL_CMAKE_PROJECTS \"${PROJECT_BINARY_DIR};${PROJECT_NAME};ALL;/;${PROJECT_BINARY_DIR};${PROJECT_NAME};Debian;/\")
else()
  set(CPACK_INSTALL_CMAKE_PROJECTS \"${PROJECT_BINARY_DIR};${PROJECT_NAME};ALL;/\")
endif()
")
include(CPack)
