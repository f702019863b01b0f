# Fails the build when a grammar's scanner object calls the C library's
# allocator directly: every allocation made under a parse must go through
# tree-sitter's allocator (ts_malloc and the rest), whose hooks the library
# installs to count a parse's memory and to keep allocations from failing
# under tree-sitter.
#
#   OBJECTS  the scanner objects, separated by '|'
#   NM       nm
#   STAMP    the file written when every object passes
string(REPLACE "|" ";" objects "${OBJECTS}")
set(offenders "")
foreach(object ${objects})
  execute_process(COMMAND ${NM} --undefined-only ${object}
    RESULT_VARIABLE result OUTPUT_VARIABLE symbols ERROR_VARIABLE error)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "nm failed on ${object}:\n${error}")
  endif()
  string(REGEX MATCHALL
    "U (malloc|calloc|realloc|reallocarray|free|strdup|strndup|aligned_alloc|posix_memalign)\n"
    calls "${symbols}")
  if(calls)
    list(TRANSFORM calls REPLACE "U ([a-z_]+)\n" "\\1")
    list(JOIN calls ", " names)
    cmake_path(SET object NORMALIZE "${object}")
    string(APPEND offenders "  ${object}: ${names}\n")
  endif()
endforeach()
if(offenders)
  message(FATAL_ERROR "grammar scanners that allocate around tree-sitter's allocator "
    "(patch them to call ts_malloc, ts_calloc, ts_realloc, ts_free):\n${offenders}")
endif()
file(TOUCH ${STAMP})
