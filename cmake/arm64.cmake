# Cross-builds for a 64-bit ARM board (Debian arm64) with clang++ and the cross
# packages of Debian's GNU toolchain (binutils-aarch64-linux-gnu,
# libstdc++-12-dev-arm64-cross), and runs what it builds under qemu-user.
set(triple aarch64-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(emulator qemu-aarch64-static)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
