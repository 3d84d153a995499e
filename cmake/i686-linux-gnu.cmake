# 32-bit x86, cross-built with Debian's g++-i686-linux-gnu, run under
# qemu-user.
set(JPEGFADE_TRIPLET i686-linux-gnu)
set(JPEGFADE_MULTIARCH i386-linux-gnu)
set(JPEGFADE_PROCESSOR i686)
set(JPEGFADE_QEMU i386)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
