# Run by onefile_add_launcher()'s build rule after `onefile pack`:
#   cmake -DAPPDIR=dir -DLAUNCHER=file -DSTAMP=file -DDEPFILE=file -P onefile_launcher_depfile.cmake
# Writes DEPFILE, which makes STAMP depend on APPDIR, every file and
# directory below it and the launcher itself, then touches STAMP.
#
# Symbolic links below APPDIR are never walked through: a link to a
# directory outside would put its files in the depfile, a link to / would
# make this step walk the whole machine. Nor are links named in the depfile:
# the build tool would follow them, take the time of whatever they lead to,
# and count one that leads nowhere (or in a loop) as missing on every build.
# A link is carried with its own text, and that text only changes when the
# link is made again, which changes the time of its directory.
#
# A script run with -P has no policies set, and GLOB_RECURSE then keeps its
# old behaviour of following links to directories (CMP0009). With the
# policies of the versions that onefile_add_launcher() needs, it lists such
# a link as an entry of its directory and does not enter it.
cmake_minimum_required(VERSION 3.20...3.25)

foreach(variable APPDIR LAUNCHER STAMP DEPFILE)
  if(NOT DEFINED ${variable})
    message(FATAL_ERROR "onefile_launcher_depfile.cmake: -D${variable}=... missing")
  endif()
endforeach()

# A glob pattern that matches the path APPDIR literally.
string(REPLACE "[" "[[]" literal "${APPDIR}")
string(REPLACE "*" "[*]" literal "${literal}")
string(REPLACE "?" "[?]" literal "${literal}")

# A name with a ';' falls apart in a CMake list; the pieces do not exist and
# are left out (the time of the directory still tells when the file comes or
# goes).
set(paths "${APPDIR}")
if(IS_DIRECTORY "${APPDIR}")
  file(GLOB_RECURSE entries LIST_DIRECTORIES true "${literal}/*")
  foreach(entry IN LISTS entries)
    if(EXISTS "${entry}" AND NOT IS_SYMLINK "${entry}")
      list(APPEND paths "${entry}")
    endif()
  endforeach()
endif()

# Paths are named through symbolic links beside the stamp where the depfile
# cannot hold them as they are: the launcher itself (in the top binary
# directory its path is also the name of its target, and the build tool
# would see a cycle), and every path with a character other than letters,
# digits, spaces and -_.,+=@%~/ (CMake hands '#' and '$' to the build tool
# unescaped, which then reads the name as several). The build tool follows
# the links; a launcher deleted or modified by hand is packed again.
set(link_dir "${STAMP}.links")
file(REMOVE_RECURSE "${link_dir}")
file(MAKE_DIRECTORY "${link_dir}")
function(onefile_depfile_link variable path link)
  file(CREATE_LINK "${path}" "${link}" RESULT result SYMBOLIC)
  if(result EQUAL 0)
    set(${variable} "${link}" PARENT_SCOPE)
  else()
    set(${variable} "" PARENT_SCOPE)
  endif()
endfunction()

onefile_depfile_link(launcher_link "${LAUNCHER}" "${link_dir}/launcher")
string(REPLACE " " "\\ " text "${STAMP}")
string(APPEND text ":")
set(index 0)
foreach(path IN LISTS paths launcher_link)
  if(path STREQUAL "")
    continue()
  endif()
  if(NOT path MATCHES "^[-A-Za-z0-9_.,+=@%~/ ]+$")
    math(EXPR index "${index} + 1")
    onefile_depfile_link(path "${path}" "${link_dir}/${index}")
    if(path STREQUAL "")
      continue()
    endif()
  endif()
  string(REPLACE " " "\\ " path "${path}")
  string(APPEND text " \\\n  ${path}")
endforeach()
file(WRITE "${DEPFILE}" "${text}\n")
file(TOUCH "${STAMP}")
