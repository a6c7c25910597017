# Cross build for 64-bit ARM devices (AArch64), Debian's
# crossbuild-essential-arm64. The test programs run on an ARM kernel, not on
# this machine (scripts/guest-test arm64 boots one under qemu-system-aarch64).
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(NETLIB_CROSS_TRIPLE aarch64-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-debian-cross.cmake)
