# Cross build for 32-bit ARM Linux with hardware floating point (Debian armhf:
# ARMv7, VFPv3-D16, no NEON assumed), with Debian's multiarch libraries.
# The tests run under qemu-arm; binfmt need not be registered.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
# The multiarch pkg-config files, not the build machine's.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/arm-linux-gnueabihf/pkgconfig:/usr/share/pkgconfig)
# Run without -L: qemu's own prefix crashes with the multiarch C library.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/qemu-arm)
