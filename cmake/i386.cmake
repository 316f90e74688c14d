# Toolchain for the 32-bit (i386) build that proves the host-record layouts.
# Libraries come from Debian multiarch (/usr/lib/i386-linux-gnu); the
# binaries run under qemu-i386 user-mode emulation, since the build machines
# cannot execute 32-bit code natively.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(CMAKE_C_FLAGS_INIT "-m32")
set(CMAKE_CXX_FLAGS_INIT "-m32")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-m32")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
set(CMAKE_FIND_ROOT_PATH /usr/lib/i386-linux-gnu /usr)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-i386)
set(OPENSSL_ROOT_DIR /usr)
set(OPENSSL_CRYPTO_LIBRARY /usr/lib/i386-linux-gnu/libcrypto.so)
set(OPENSSL_SSL_LIBRARY /usr/lib/i386-linux-gnu/libssl.so)
