# The launcher stub for aarch64: a static PIE against musl for arm64 (Debian's
# multiarch musl-dev:arm64), built with the aarch64 cross g++.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(ONEFILE_COMPILER_PREFIX aarch64-linux-gnu-)
set(ONEFILE_MUSL_TRIPLE aarch64-linux-musl)
include(${CMAKE_CURRENT_LIST_DIR}/musl_static_pie.cmake)
