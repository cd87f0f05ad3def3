# The onefile tool for aarch64: the aarch64 cross g++ with Debian's static
# arm64 libraries (glibc of libc6-dev-arm64-cross, libstdc++ of the cross
# compiler, zstd and nettle of the arm64 multiarch packages). The tool links
# with -static, so it needs no loader and no library on the machine it runs
# on, as the x86-64 tool. (The launcher stubs use musl instead: they need
# no C++ library, and musl has none here.)
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

find_program(ONEFILE_TOOL_CC NAMES aarch64-linux-gnu-gcc REQUIRED)
find_program(ONEFILE_TOOL_CXX NAMES aarch64-linux-gnu-g++ REQUIRED)
set(CMAKE_C_COMPILER ${ONEFILE_TOOL_CC})
set(CMAKE_CXX_COMPILER ${ONEFILE_TOOL_CXX})
set(CMAKE_ASM_COMPILER ${ONEFILE_TOOL_CC})
