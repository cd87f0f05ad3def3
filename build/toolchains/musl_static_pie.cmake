# Shared part of the toolchain files that build the launcher stub as a static
# PIE against musl with the system's g++ or a cross g++. The architecture's
# file sets ONEFILE_COMPILER_PREFIX (the cross compiler's prefix, empty for
# the host's) and ONEFILE_MUSL_TRIPLE (musl's include and library
# directories, such as aarch64-linux-musl) first.
#
# The compiler keeps its own libstdc++ headers (the launcher uses only what
# needs no library) and its own builtin headers, with musl's headers between
# them in place of glibc's. Linking takes musl's start files and libc.a, gcc's
# crtbeginS.o/crtendS.o and libgcc.a, and ends in -static-pie.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ONEFILE_COMPILER_PREFIX ONEFILE_MUSL_TRIPLE)
# Compiler checks compile only: the link rule below needs the project's objects.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

find_program(ONEFILE_STUB_CXX NAMES ${ONEFILE_COMPILER_PREFIX}g++ REQUIRED)
find_program(ONEFILE_STUB_CC NAMES ${ONEFILE_COMPILER_PREFIX}gcc REQUIRED)
set(CMAKE_C_COMPILER ${ONEFILE_STUB_CC})
set(CMAKE_CXX_COMPILER ${ONEFILE_STUB_CXX})
set(CMAKE_ASM_COMPILER ${ONEFILE_STUB_CC})

set(musl_include /usr/include/${ONEFILE_MUSL_TRIPLE})
set(musl_lib /usr/lib/${ONEFILE_MUSL_TRIPLE})
if(NOT EXISTS ${musl_lib}/libc.a OR NOT EXISTS ${musl_include}/stdio.h)
  message(FATAL_ERROR "musl for ${ONEFILE_MUSL_TRIPLE} is missing (run build/install-deps)")
endif()

# The compiler's own search list, read once: its libstdc++ directories come
# before the C library's headers, its builtin headers after them.
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -xc++ -E -v /dev/null
                OUTPUT_QUIET ERROR_VARIABLE search_text)
string(REGEX MATCH "#include <...> search starts here:\n(.*)End of search list" _ "${search_text}")
string(REGEX REPLACE "\n *" ";" search_dirs "${CMAKE_MATCH_1}")
set(cxx_dirs "")
foreach(dir IN LISTS search_dirs)
  if(dir MATCHES "/c\\+\\+/")
    list(APPEND cxx_dirs ${dir})
  endif()
endforeach()
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=include
                OUTPUT_VARIABLE gcc_include OUTPUT_STRIP_TRAILING_WHITESPACE)

set(compat_header ${CMAKE_CURRENT_LIST_DIR}/../stub/musl_compat.h)
set(c_includes "-nostdinc -isystem ${musl_include} -isystem ${gcc_include} -include ${compat_header}")
set(cxx_includes "-nostdinc")
foreach(dir IN LISTS cxx_dirs)
  string(APPEND cxx_includes " -isystem ${dir}")
endforeach()
string(APPEND cxx_includes " -isystem ${musl_include} -isystem ${gcc_include} -include ${compat_header}")
set(CMAKE_C_FLAGS_INIT "${c_includes}")
set(CMAKE_CXX_FLAGS_INIT "${cxx_includes}")
set(CMAKE_ASM_FLAGS_INIT "-nostdinc")

foreach(object crtbeginS.o crtendS.o libgcc.a)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${object}
                  OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
  string(REPLACE "." "_" name ${object})
  set(gcc_${name} ${path})
endforeach()

# libc.a and libgcc.a in one group: libgcc's outline atomics on aarch64 call
# musl's __getauxval. -static-pie comes last; a -pie after it would make a
# dynamic PIE.
set(link_rule "<CMAKE_CXX_COMPILER> <FLAGS> <CMAKE_CXX_LINK_FLAGS> <LINK_FLAGS> -nostdlib \
${musl_lib}/rcrt1.o ${musl_lib}/crti.o ${gcc_crtbeginS_o} <OBJECTS> -o <TARGET> <LINK_LIBRARIES> \
-Wl,--start-group ${musl_lib}/libc.a ${gcc_libgcc_a} -Wl,--end-group ${gcc_crtendS_o} ${musl_lib}/crtn.o \
-static-pie")
set(CMAKE_CXX_LINK_EXECUTABLE "${link_rule}")
set(CMAKE_C_LINK_EXECUTABLE "${link_rule}")
