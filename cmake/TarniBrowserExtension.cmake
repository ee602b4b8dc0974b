# The companion extension, built for Chromium-based browsers and for Firefox
# from its one source folder (extension/ChromeExtension) into
# ${TARNI_BROWSER_EXTENSION_DIR}/{chromium,firefox}/ (cmake/TarniBrowserExtensionBuild.cmake).
set(TARNI_BROWSER_EXTENSION_DIR ${PROJECT_BINARY_DIR}/extension)
set(tarni_browser_extension_source ${PROJECT_SOURCE_DIR}/extension/ChromeExtension)

# Firefox's add-on id, read from the one place that names it.
file(STRINGS ${PROJECT_SOURCE_DIR}/src/core/chrome/ChromeExtensionIdentity.h tarni_firefox_id_line
     REGEX "kFirefoxExtensionID = \"[^\"]+\"")
string(REGEX MATCH "\"[^\"]+\"" TARNI_FIREFOX_EXTENSION_ID "${tarni_firefox_id_line}")
string(REPLACE "\"" "" TARNI_FIREFOX_EXTENSION_ID "${TARNI_FIREFOX_EXTENSION_ID}")
if(NOT TARNI_FIREFOX_EXTENSION_ID MATCHES "^[A-Za-z0-9._-]+@[A-Za-z0-9._-]+$")
  message(FATAL_ERROR "cannot read the Firefox extension id from ChromeExtensionIdentity.h")
endif()

file(GLOB_RECURSE tarni_browser_extension_files CONFIGURE_DEPENDS
     ${tarni_browser_extension_source}/*.js ${tarni_browser_extension_source}/*.html
     ${tarni_browser_extension_source}/*.json)
set(tarni_browser_extension_outputs)
foreach(browser chromium firefox)
  set(out ${TARNI_BROWSER_EXTENSION_DIR}/${browser})
  add_custom_command(OUTPUT ${out}/manifest.json
    COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${tarni_browser_extension_source} -DOUTPUT_DIR=${out}
            -DBROWSER=${browser} -DFIREFOX_ID=${TARNI_FIREFOX_EXTENSION_ID}
            -P ${PROJECT_SOURCE_DIR}/cmake/TarniBrowserExtensionBuild.cmake
    DEPENDS ${tarni_browser_extension_files} ${PROJECT_SOURCE_DIR}/cmake/TarniBrowserExtensionBuild.cmake
            ${PROJECT_SOURCE_DIR}/src/core/chrome/ChromeExtensionIdentity.h
    VERBATIM)
  list(APPEND tarni_browser_extension_outputs ${out}/manifest.json)
endforeach()
add_custom_target(tarni_browser_extension ALL DEPENDS ${tarni_browser_extension_outputs})
