# Cross build for the device: 32-bit ARM, hard-float ABI, Debian's
# crossbuild-essential-armhf. The test programs run on an ARM kernel, not on
# this machine (scripts/guest-test armhf boots one under qemu-system-arm).
set(CMAKE_SYSTEM_PROCESSOR arm)
set(NETLIB_CROSS_TRIPLE arm-linux-gnueabihf)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-debian-cross.cmake)
