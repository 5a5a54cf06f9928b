# Builds for 32-bit x86 (g++ -m32, with g++-multilib) on a 64-bit x86 machine.
# The programs run as they are where the kernel runs 32-bit x86 programs; where
# it refuses them (one built without IA32 emulation, or a virtual machine that
# turns it off: exec fails with "Exec format error"), they run under qemu-user,
# as the ARM boards' do, with the C library of libc6-i386 (/lib32), where the
# 32-bit loader looks for it.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_CXX_FLAGS_INIT -m32)
set(CMAKE_C_FLAGS_INIT -m32) # for GoogleTest, whose build asks for C too
execute_process(COMMAND /lib/ld-linux.so.2 --version RESULT_VARIABLE runs OUTPUT_QUIET ERROR_QUIET)
if(NOT runs EQUAL 0)
  find_program(emulator_path qemu-i386-static REQUIRED)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${emulator_path})
endif()
