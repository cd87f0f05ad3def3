# The launcher stub for x86-64: a static PIE against musl, built with the
# system's g++.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(ONEFILE_COMPILER_PREFIX "")
set(ONEFILE_MUSL_TRIPLE x86_64-linux-musl)
include(${CMAKE_CURRENT_LIST_DIR}/musl_static_pie.cmake)
