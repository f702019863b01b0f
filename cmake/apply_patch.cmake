# Copies the sources of a package to be patched (a grammar's scanner, the
# tree-sitter runtime), and every other file that a patch changes, from the
# npm package into the build directory and applies the patch to the copies;
# the package itself is never changed. Fails the build, saying which patch,
# when the patch no longer applies (the package was updated).
#
#   PACKAGE  the package's directory under node_modules
#   PATCH    the patch, in unified format, paths relative to PACKAGE (-p1);
#            its context must match exactly (no fuzz)
#   SOURCE   the file or directory to copy, relative to PACKAGE
#   OUTPUT   the directory to copy into, emptied first
#   PATCH_EXECUTABLE  GNU patch
file(STRINGS ${PATCH} changed REGEX "^\\+\\+\\+ b/")
list(TRANSFORM changed REPLACE "^\\+\\+\\+ b/([^\t]*).*$" "\\1")
file(REMOVE_RECURSE ${OUTPUT})
foreach(path ${SOURCE} ${changed})
  get_filename_component(directory ${OUTPUT}/${path} DIRECTORY)
  # A file that the patch creates is not in the package.
  if(EXISTS ${PACKAGE}/${path})
    file(COPY ${PACKAGE}/${path} DESTINATION ${directory})
  endif()
endforeach()
execute_process(COMMAND ${PATCH_EXECUTABLE} -p1 --batch --forward --fuzz=0 --silent -d ${OUTPUT} -i ${PATCH}
  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT result EQUAL 0)
  file(REMOVE_RECURSE ${OUTPUT})
  message(FATAL_ERROR "${PATCH} no longer applies to ${PACKAGE}:\n${output}"
    "Update the patch for the grammar version that npm installed.")
endif()
# file(COPY) keeps the package's times: without this, a build that applied a
# changed patch would see its output as old as before and not recompile it.
file(GLOB_RECURSE copies ${OUTPUT}/*)
file(TOUCH ${copies})
