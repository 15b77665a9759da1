# Cross build for the clock: 32-bit ARM (ARMv7-A, hard float, EABI5) with
# Debian's g++-arm-linux-gnueabihf. The compiler's defaults are exactly that
# target (armv7-a, vfpv3-d16, -mfloat-abi=hard, Thumb-2); they are stated
# here so that another toolchain of the same name cannot change them quietly.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
# -Wno-psabi: GCC notes that std::map iterators are passed differently than
# by GCC before 7.1; everything in the release is built by this one compiler
# and the hook library exports only C functions, so the note never applies.
set(CMAKE_C_FLAGS_INIT "-march=armv7-a+fp -mfloat-abi=hard")
set(CMAKE_CXX_FLAGS_INIT "-march=armv7-a+fp -mfloat-abi=hard -Wno-psabi")

# Libraries and headers of the target come from the cross C library only.
set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabihf)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Lets try_run and CTest run target programs on this machine.
find_program(TAVRINE_QEMU_ARM qemu-arm-static)
if(TAVRINE_QEMU_ARM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TAVRINE_QEMU_ARM} -L /usr/arm-linux-gnueabihf)
endif()
