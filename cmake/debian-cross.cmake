# Shared part of the cross toolchain files (toolchain-<arch>.cmake), which set
# cross_triplet (GNU triplet) and cross_qemu (qemu-user's name for the
# architecture) and include this file.
#
# Debian's cross compilers (g++-12-<triplet>) build; the target's GoogleTest and
# libxcrypt come from Debian multiarch (/usr/lib/<triplet>, headers in
# /usr/include). qemu-user runs the target's programs. With -L it loads the
# cross libc of /usr/<triplet>; LD_LIBRARY_PATH keeps that loader on its own
# libc even where a multiarch libc6:<arch> (another build) is installed too.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${cross_triplet}-gcc-12)
set(CMAKE_CXX_COMPILER ${cross_triplet}-g++-12)
set(CMAKE_LIBRARY_ARCHITECTURE ${cross_triplet})
set(CMAKE_CROSSCOMPILING_EMULATOR
  /usr/bin/qemu-${cross_qemu} -L /usr/${cross_triplet} -E LD_LIBRARY_PATH=/usr/${cross_triplet}/lib)
# With CMAKE_LIBRARY_ARCHITECTURE set, libraries are looked for in
# /usr/lib/<triplet>, never in the host's directory; pkg-config (which
# FindOpenSSL asks first) reads the target's .pc files only.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${cross_triplet}/pkgconfig:/usr/share/pkgconfig)
