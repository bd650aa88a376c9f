# Shared by the toolchain files of Debian's cross compilers (cmake/<triplet>.cmake): set
# DS_TRIPLET and DS_DEB_ARCH, then include this file.
#   DS_TRIPLET   the GNU triplet of the compilers (arm-linux-gnueabi-g++, ...)
#   DS_DEB_ARCH  the Debian architecture of the appliance package (make package TARGET=...)
# The programs of such a build run on this machine under qemu-user in the simulated appliance
# (sim/appliance --target), which knows the emulator of each CPU.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${DS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${DS_TRIPLET}-g++)

# Debian's cross C library: /usr/<triplet>/lib and /usr/<triplet>/include.
set(DS_TARGET_PREFIX /usr/${DS_TRIPLET})
set(CMAKE_FIND_ROOT_PATH ${DS_TARGET_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
