# The layer rule, enforced by the build.
#
# The code is one include root, src/, with one folder per layer. Dependencies point one way:
#
#   lib (the module's Python glue)  ->  ombrel (engine), lib/text, pool, platform
#   ombrel (engine)                 ->  pool, platform
#   lib/text, pool, platform        ->  nothing of ours
#
# Each layer is one CMake target that links only the layers it depends on. A shared include root alone
# would still let any file include any header, so ombrel_layer() also gives the target a check that
# runs before it is compiled (cmake/check_layer_includes.cmake): every #include of the layer's files
# must name a header of the layer itself or of a layer it depends on, written from src/. A wrong-way
# include therefore fails the build of that layer, with the file, the line and the allowed folders.
include_guard(GLOBAL)

# ombrel_layer(<target> FOLDER <folder under src/> [EXCLUDE <subfolder>...] ALLOWS <folder>... [PYTHON])
#
# Checks the .h and .cpp files of src/<FOLDER> (without the EXCLUDEd subfolders, which are layers of
# their own) before <target> is built. ALLOWS names the folders under src/ that they may include from;
# the layer's own folder is always allowed. PYTHON allows <Python.h>.
function(ombrel_layer target)
  cmake_parse_arguments(PARSE_ARGV 1 LAYER "PYTHON" "FOLDER" "EXCLUDE;ALLOWS")
  set(OMBREL_SOURCE_ROOT "${PROJECT_SOURCE_DIR}/src")
  set(folder "${OMBREL_SOURCE_ROOT}/${LAYER_FOLDER}")
  file(GLOB_RECURSE files CONFIGURE_DEPENDS "${folder}/*.h" "${folder}/*.cpp")
  foreach(excluded IN LISTS LAYER_EXCLUDE)
    list(FILTER files EXCLUDE REGEX "^${folder}/${excluded}/")
  endforeach()
  set(allowed "${LAYER_FOLDER}/")
  foreach(dependency IN LISTS LAYER_ALLOWS)
    list(APPEND allowed "${dependency}/")
  endforeach()
  set(python OFF)
  if(LAYER_PYTHON)
    set(python ON)
  endif()

  # Lists travel to the script joined with "|": a ";" inside a command argument would split it.
  string(REPLACE ";" "|" allowed_arg "${allowed}")
  string(REPLACE ";" "|" files_arg "${files}")
  set(stamp "${CMAKE_CURRENT_BINARY_DIR}/${target}.includes-checked")
  set(script "${PROJECT_SOURCE_DIR}/cmake/check_layer_includes.cmake")
  add_custom_command(
    OUTPUT "${stamp}"
    COMMAND "${CMAKE_COMMAND}" "-DLAYER=${LAYER_FOLDER}" "-DSOURCE_ROOT=${OMBREL_SOURCE_ROOT}"
            "-DALLOWED=${allowed_arg}" "-DPYTHON=${python}" "-DFILES=${files_arg}" "-DSTAMP=${stamp}"
            -P "${script}"
    DEPENDS ${files} "${script}"
    COMMENT "Checking the includes of src/${LAYER_FOLDER} against the layer rule"
    VERBATIM)
  add_custom_target(${target}_includes DEPENDS "${stamp}")
  add_dependencies(${target} ${target}_includes)
  target_include_directories(${target} PUBLIC "${OMBREL_SOURCE_ROOT}")
endfunction()
