# Shared by the cross toolchain files: Debian's cross compiler for
# JPEGFADE_TRIPLET, that architecture's multiarch libraries (in
# /usr/lib/JPEGFADE_MULTIARCH, which is not always the compiler's triplet),
# and qemu-user to run what is built. The including file sets those two,
# JPEGFADE_PROCESSOR and JPEGFADE_QEMU.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${JPEGFADE_PROCESSOR})
set(CMAKE_CXX_COMPILER ${JPEGFADE_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${JPEGFADE_MULTIARCH})

# The tests start the tool through the emulator, since a container seldom
# has binfmt_misc to start a foreign binary by itself. No -L and no
# QEMU_LD_PREFIX: the multiarch loader and libc are where the binary asks.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/qemu-${JPEGFADE_QEMU}-static)

# pkg-config finds this architecture's .pc files, and the shared ones that
# gdlib's private requirements reach (x11, xproto).
set(ENV{PKG_CONFIG_LIBDIR}
  /usr/lib/${JPEGFADE_MULTIARCH}/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

