# Cross-builds for a 32-bit ARM board (Debian armhf: ARMv7, hard float) with
# clang++ and the cross packages of Debian's GNU toolchain
# (binutils-arm-linux-gnueabihf, libstdc++-12-dev-armhf-cross), and runs what it
# builds under qemu-user.
set(triple arm-linux-gnueabihf)
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(emulator qemu-arm-static)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
