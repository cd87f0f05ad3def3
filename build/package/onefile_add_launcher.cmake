# onefile_add_launcher(NAME APPDIR dir MAIN relpath
#                      [TEMPLATE template...] [PRODUCT name] [VERSION version]
#                      [ARCH x86_64|aarch64] [COMPRESS level] [REUSE] [NO_RECLAIM]
#                      [EXCLUDE pattern...] [SIGN_KEY key] [OUTPUT path]
#                      [DEPENDS target...])
#
# Adds the custom target NAME, built by default, that packs the application
# directory APPDIR into a launcher with `onefile pack`. MAIN is the main
# executable, relative to APPDIR. The launcher is written to OUTPUT, by
# default NAME in the current binary directory (CMAKE_CURRENT_BINARY_DIR); a
# relative OUTPUT is taken relative to that directory, a relative APPDIR
# relative to the current source directory.
#
# TEMPLATE, PRODUCT, VERSION and ARCH give the launcher's directory template,
# product name, version string and machine (--template, --product, --version,
# --arch); several TEMPLATE values are the places the launcher tries in
# turn (one --template each); COMPRESS packs with --compress=level; REUSE packs with --reuse
# (the launcher keeps its unpacked tree between runs); NO_RECLAIM packs with
# --no-reclaim (its runs never remove the trees that runs killed outright left
# behind); EXCLUDE passes one --exclude per pattern; SIGN_KEY signs the
# launcher with the SSH key `key` (--sign; a relative path is taken relative
# to the current source directory). The tool checks the values when it runs. DEPENDS names the
# targets that make the content of APPDIR: they are built first, and the
# launcher is packed again whenever they are rebuilt.
#
# The launcher is packed again when the tool changes, or when anything below
# APPDIR is added, removed, replaced or modified. Which files APPDIR holds is
# often known only once the DEPENDS targets have been built, so no list is
# taken at configure time: after each pack, a depfile names every file and
# directory below APPDIR (onefile_launcher_depfile.cmake), and the build tool
# compares their times with the pack's stamp. A file added or removed changes
# the time of its directory. Symbolic links are neither entered nor named in
# the depfile: what lies behind one is not packed, a dangling one would look
# missing and make every build pack again, and making, replacing or removing
# a link changes the time of its directory too.
#
# The stamp, not the launcher, is the custom command's output: a custom
# target and a file of the same name in the top binary directory would be
# two build rules for one name. The depfile names the launcher too (through
# a link beside the stamp), so a launcher deleted or modified by hand is
# packed again.

if(CMAKE_VERSION VERSION_LESS 3.20)
  message(FATAL_ERROR "onefile_add_launcher() needs CMake 3.20 or newer (custom commands with a DEPFILE)")
endif()
# Depfile paths are converted for the build tool where CMake knows how
# (CMP0116); the function keeps the policies set here.
cmake_policy(VERSION 3.20...3.25)

function(onefile_add_launcher)
  set(flag_keywords REUSE NO_RECLAIM)
  set(value_keywords APPDIR MAIN PRODUCT VERSION ARCH COMPRESS SIGN_KEY OUTPUT)
  set(list_keywords TEMPLATE EXCLUDE DEPENDS)
  if(ARGC EQUAL 0 OR "${ARGV0}" STREQUAL "" OR ARGV0 IN_LIST flag_keywords OR ARGV0 IN_LIST value_keywords
     OR ARGV0 IN_LIST list_keywords)
    message(FATAL_ERROR "onefile_add_launcher: NAME missing: the first argument names the launcher's target")
  endif()
  set(name "${ARGV0}")
  cmake_parse_arguments(PARSE_ARGV 1 arg "${flag_keywords}" "${value_keywords}" "${list_keywords}")

  if(arg_UNPARSED_ARGUMENTS)
    string(REPLACE ";" " " unknown "${arg_UNPARSED_ARGUMENTS}")
    string(REPLACE ";" " " keywords "${flag_keywords};${value_keywords};${list_keywords}")
    message(FATAL_ERROR "onefile_add_launcher(${name}): unknown argument(s) ${unknown}; "
                        "the keywords are ${keywords}")
  endif()
  foreach(keyword IN LISTS arg_KEYWORDS_MISSING_VALUES)
    if(keyword IN_LIST value_keywords OR keyword STREQUAL "TEMPLATE")
      message(FATAL_ERROR "onefile_add_launcher(${name}): ${keyword} given without a value")
    endif()
  endforeach()
  foreach(keyword APPDIR MAIN)
    if(NOT DEFINED arg_${keyword})
      message(FATAL_ERROR "onefile_add_launcher(${name}): ${keyword} missing")
    endif()
  endforeach()
  if(NOT TARGET onefile::onefile)
    message(FATAL_ERROR "onefile_add_launcher(${name}): the target onefile::onefile is not visible here; "
                        "call find_package(onefile) in this directory or one above it")
  endif()

  cmake_path(ABSOLUTE_PATH arg_APPDIR BASE_DIRECTORY "${CMAKE_CURRENT_SOURCE_DIR}" NORMALIZE
             OUTPUT_VARIABLE appdir)
  if(NOT DEFINED arg_OUTPUT)
    set(arg_OUTPUT "${name}")
  endif()
  cmake_path(ABSOLUTE_PATH arg_OUTPUT BASE_DIRECTORY "${CMAKE_CURRENT_BINARY_DIR}" NORMALIZE
             OUTPUT_VARIABLE output)
  cmake_path(GET output PARENT_PATH output_dir)
  file(MAKE_DIRECTORY "${output_dir}")

  set(options --main "${arg_MAIN}")
  foreach(template IN LISTS arg_TEMPLATE)
    list(APPEND options --template "${template}")
  endforeach()
  foreach(keyword IN ITEMS PRODUCT VERSION ARCH)
    if(DEFINED arg_${keyword})
      string(TOLOWER "--${keyword}" option)
      list(APPEND options ${option} "${arg_${keyword}}")
    endif()
  endforeach()
  if(DEFINED arg_COMPRESS)
    list(APPEND options "--compress=${arg_COMPRESS}")
  endif()
  if(arg_REUSE)
    list(APPEND options --reuse)
  endif()
  if(arg_NO_RECLAIM)
    list(APPEND options --no-reclaim)
  endif()
  foreach(pattern IN LISTS arg_EXCLUDE)
    list(APPEND options --exclude "${pattern}")
  endforeach()
  if(DEFINED arg_SIGN_KEY)
    cmake_path(ABSOLUTE_PATH arg_SIGN_KEY BASE_DIRECTORY "${CMAKE_CURRENT_SOURCE_DIR}" NORMALIZE
               OUTPUT_VARIABLE sign_key)
    list(APPEND options --sign "${sign_key}")
  endif()

  set(state_dir "${CMAKE_CURRENT_BINARY_DIR}/CMakeFiles/onefile_add_launcher")
  set(stamp "${state_dir}/${name}.stamp")
  set(depfile "${state_dir}/${name}.d")
  add_custom_command(
    OUTPUT "${stamp}"
    COMMAND onefile::onefile pack "${appdir}" -o "${output}" ${options}
    COMMAND "${CMAKE_COMMAND}" "-DAPPDIR=${appdir}" "-DLAUNCHER=${output}" "-DSTAMP=${stamp}"
            "-DDEPFILE=${depfile}" -P "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/onefile_launcher_depfile.cmake"
    DEPENDS "$<TARGET_FILE:onefile::onefile>" ${arg_DEPENDS}
    DEPFILE "${depfile}"
    COMMENT "Packing the launcher ${name}"
    VERBATIM)
  add_custom_target(${name} ALL DEPENDS "${stamp}")
  if(arg_DEPENDS)
    add_dependencies(${name} ${arg_DEPENDS})
  endif()
  set_property(DIRECTORY APPEND PROPERTY ADDITIONAL_CLEAN_FILES "${output}")
endfunction()
