# Our GNOME Shell extension (src/platform/gnome/shell-extension), in the two
# forms GNOME Shell loads: "legacy" for 43 and 44, "modules" (ES modules) for
# 45 and later, both written from the one source at build time into
# ${TARNI_GNOME_SHELL_EXTENSION_DIR}/<form>/. The application installs the
# form the running shell loads into the user's extensions folder.
set(TARNI_GNOME_SHELL_EXTENSION_UUID "window-placement@tarnibar.tarni.com")
set(TARNI_GNOME_SHELL_EXTENSION_DIR ${PROJECT_BINARY_DIR}/gnome-shell-extension)
set(tarni_shell_extension_source ${PROJECT_SOURCE_DIR}/src/platform/gnome/shell-extension)
set(tarni_shell_extension_outputs)
foreach(form legacy modules)
  set(out ${TARNI_GNOME_SHELL_EXTENSION_DIR}/${form})
  add_custom_command(OUTPUT ${out}/extension.js ${out}/metadata.json
    COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${tarni_shell_extension_source} -DOUTPUT_DIR=${out} -DFLAVOUR=${form}
            -DUUID=${TARNI_GNOME_SHELL_EXTENSION_UUID}
            -P ${tarni_shell_extension_source}/generate.cmake
    DEPENDS ${tarni_shell_extension_source}/extension.js ${tarni_shell_extension_source}/metadata.json.in
            ${tarni_shell_extension_source}/generate.cmake
    VERBATIM)
  list(APPEND tarni_shell_extension_outputs ${out}/extension.js ${out}/metadata.json)
endforeach()
add_custom_target(tarni_gnome_shell_extension ALL DEPENDS ${tarni_shell_extension_outputs})
