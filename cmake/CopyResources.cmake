# Puts the shipped resources into the program folder. Language files are the
# program's own texts and follow the sources; the options file, the task list
# and the template base are the user's data once they exist, so a rebuild never
# overwrites them.
file(GLOB RESOURCES "${SOURCE}/*.ini" "${SOURCE}/*.lng" "${SOURCE}/*.td")
file(MAKE_DIRECTORY "${DEST}")
foreach(src IN LISTS RESOURCES)
  get_filename_component(name "${src}" NAME)
  get_filename_component(ext "${src}" EXT)
  if(ext STREQUAL ".lng" OR NOT EXISTS "${DEST}/${name}")
    file(COPY_FILE "${src}" "${DEST}/${name}" ONLY_IF_DIFFERENT)
  endif()
endforeach()
# The large program icon, which the autostart entry names.
if(EXISTS "${SOURCE}/icons/tandemora-256.png")
  file(COPY_FILE "${SOURCE}/icons/tandemora-256.png" "${DEST}/Tandemora.png" ONLY_IF_DIFFERENT)
endif()
