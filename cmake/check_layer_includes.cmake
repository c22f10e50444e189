# Checks the #include lines of one layer's files against the layers it may depend on.
# Run by the build before the layer's target is compiled (see ombrel_layer in OmbrelLayers.cmake):
#
#   cmake -DLAYER=<name> -DSOURCE_ROOT=<src> -DALLOWED=<prefix|...> -DPYTHON=<ON|OFF>
#         -DFILES=<file|...> -DSTAMP=<file> -P check_layer_includes.cmake
#
# Every include of a project header is written from the one include root, src/ ("ombrel/field.h"),
# and must start with one of ALLOWED ("pool/", "lib/text/", ...). Refused, with the file and line:
#   - an include that names a file under src/ outside the allowed folders, in quotes or in angle
#     brackets (the compiler would find both through the include root);
#   - a quoted include that is not written from src/ (relative to the including file, or with "..");
#   - an include computed by a macro, which no check could follow;
#   - <Python.h> in a layer that is not Python glue.
# On success the stamp file is written, so the check runs again only when a file of the layer changes.
cmake_minimum_required(VERSION 3.20)

string(REPLACE "|" ";" ALLOWED "${ALLOWED}")
string(REPLACE "|" ";" FILES "${FILES}")
set(problems "")
foreach(file IN LISTS FILES)
  file(STRINGS "${file}" lines)
  file(RELATIVE_PATH shown "${SOURCE_ROOT}/.." "${file}")
  set(number 0)
  foreach(line IN LISTS lines)
    math(EXPR number "${number} + 1")
    if(NOT line MATCHES "^[ \t]*#[ \t]*include")
      continue()
    endif()
    if(line MATCHES "^[ \t]*#[ \t]*include[ \t]*\"([^\"]*)\"")
      set(path "${CMAKE_MATCH_1}")
      set(quoted TRUE)
    elseif(line MATCHES "^[ \t]*#[ \t]*include[ \t]*<([^>]*)>")
      set(path "${CMAKE_MATCH_1}")
      set(quoted FALSE)
    else()
      string(APPEND problems "${shown}:${number}: an include computed by a macro cannot be checked\n")
      continue()
    endif()

    if(path STREQUAL "Python.h")
      if(NOT PYTHON)
        string(APPEND problems "${shown}:${number}: the ${LAYER} layer is plain C++ and may not include Python.h\n")
      endif()
      continue()
    endif()
    if(path MATCHES "(^|/)\\.\\.?(/|$)")
      string(APPEND problems "${shown}:${number}: \"${path}\": write includes from src/, without . or ..\n")
      continue()
    endif()
    if(NOT EXISTS "${SOURCE_ROOT}/${path}")
      if(quoted)
        string(APPEND problems "${shown}:${number}: \"${path}\" is not a file under src/; write includes from src/\n")
      endif()
      continue()  # a system header in angle brackets
    endif()
    set(permitted FALSE)
    foreach(prefix IN LISTS ALLOWED)
      string(LENGTH "${prefix}" length)
      string(SUBSTRING "${path}" 0 ${length} head)
      if(head STREQUAL prefix)
        set(permitted TRUE)
        break()
      endif()
    endforeach()
    if(NOT permitted)
      string(REPLACE ";" ", " allowed_text "${ALLOWED}")
      string(APPEND problems
             "${shown}:${number}: \"${path}\" points the wrong way: the ${LAYER} layer may include only ${allowed_text}\n")
    endif()
  endforeach()
endforeach()

if(NOT problems STREQUAL "")
  file(REMOVE "${STAMP}")
  # The problems go out as they are, one per line (an error message would be re-wrapped), then the
  # error that stops the build.
  message(NOTICE "${problems}")
  message(FATAL_ERROR "Include rule broken in the ${LAYER} layer: see the lines above.")
endif()
file(WRITE "${STAMP}" "")
