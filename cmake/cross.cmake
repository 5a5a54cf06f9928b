# What the toolchain files for the boards share; they set `triple`,
# CMAKE_SYSTEM_PROCESSOR and `emulator`.
#
# clang++ rather than the cross g++: Debian 12's g++-12-<triple> packages cannot
# be installed beside g++-multilib, which the m32 build needs. The target's C
# library, libgcc and libstdc++ come from the cross packages under /usr/${triple};
# the emulator is told to load them from there (-L), and is a static build, so
# that the host's dynamic loader, and what the tests do to it, plays no part.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_CXX_COMPILER_TARGET ${triple})
set(CMAKE_C_COMPILER clang) # for GoogleTest, whose build asks for C too
set(CMAKE_C_COMPILER_TARGET ${triple})
set(CMAKE_READELF /usr/bin/${triple}-readelf)
set(CMAKE_NM /usr/bin/${triple}-nm)
set(CMAKE_FIND_ROOT_PATH /usr/${triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
find_program(emulator_path ${emulator} REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${emulator_path} -L /usr/${triple})
