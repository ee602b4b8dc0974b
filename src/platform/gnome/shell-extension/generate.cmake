# Writes one build of the GNOME Shell extension:
#   cmake -DSOURCE_DIR=... -DOUTPUT_DIR=... -DFLAVOUR=modules|legacy -DUUID=... -P generate.cmake
# "modules" is the source itself (GNOME Shell 45 and later load extensions as
# ES modules); "legacy" swaps the marked import and class lines for the
# imports object and init() that GNOME Shell 43 and 44 expect.
file(READ ${SOURCE_DIR}/extension.js source)
if(FLAVOUR STREQUAL "modules")
  set(SHELL_VERSIONS "\"45\", \"46\", \"47\", \"48\"")
elseif(FLAVOUR STREQUAL "legacy")
  set(SHELL_VERSIONS "\"43\", \"44\"")
  string(REGEX REPLACE "// GNOME-45 imports begin[^\n]*\n.*// GNOME-45 imports end[^\n]*\n"
         "const {Gio, GLib, Meta} = imports.gi;\n" source "${source}")
  string(REGEX REPLACE "// GNOME-45 class begins[^\n]*\n[^\n]*\n// GNOME-45 class ends[^\n]*\n"
         "class WindowPlacementExtension {\n" source "${source}")
  string(APPEND source "\nfunction init() {\n    return new WindowPlacementExtension();\n}\n")
else()
  message(FATAL_ERROR "FLAVOUR must be modules or legacy, not '${FLAVOUR}'")
endif()
string(FIND "${source}" "// GNOME-45 " marker)
if(FLAVOUR STREQUAL "legacy" AND NOT marker EQUAL -1)
  message(FATAL_ERROR "extension.js: a GNOME-45 marker was left in the legacy build")
endif()
set(TARNI_GNOME_EXTENSION_UUID ${UUID})
file(WRITE ${OUTPUT_DIR}/extension.js "${source}")
configure_file(${SOURCE_DIR}/metadata.json.in ${OUTPUT_DIR}/metadata.json @ONLY)
