# The switch's management processor: 32-bit big-endian PowerPC running Linux, built with
# Debian's cross compiler (g++-powerpc-linux-gnu). Target programs run on the build machine
# under user-mode emulation (qemu-ppc of qemu-user), with the cross toolchain's libraries as
# the emulated root, so that test discovery and ctest run the target's unit tests unchanged.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR powerpc)

set(BM_TARGET_TRIPLET powerpc-linux-gnu)
set(BM_TARGET_SYSROOT /usr/${BM_TARGET_TRIPLET})

set(CMAKE_C_COMPILER ${BM_TARGET_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${BM_TARGET_TRIPLET}-g++)
set(CMAKE_STRIP ${BM_TARGET_TRIPLET}-strip CACHE FILEPATH "")

# Look for target headers and libraries only in the cross toolchain's tree; the build
# machine's own (libi2c among them) are for the other byte order and word size.
set(CMAKE_FIND_ROOT_PATH ${BM_TARGET_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(BM_QEMU_PPC qemu-ppc)
if(BM_QEMU_PPC)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${BM_QEMU_PPC} -L ${BM_TARGET_SYSROOT})
endif()
