# arm64, cross-built with Debian's g++-aarch64-linux-gnu, run under qemu-user.
set(JPEGFADE_TRIPLET aarch64-linux-gnu)
set(JPEGFADE_MULTIARCH aarch64-linux-gnu)
set(JPEGFADE_PROCESSOR aarch64)
set(JPEGFADE_QEMU aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
