# Shared by the toolchain files of Debian's cross compilers (cmake/<triplet>.cmake): set
# DS_TRIPLET, DS_DEB_ARCH and DS_QEMU, then include this file.
#   DS_TRIPLET   the GNU triplet of the compilers (arm-linux-gnueabi-g++, ...)
#   DS_DEB_ARCH  the Debian architecture of the appliance package (make package)
#   DS_QEMU      the user-mode emulator that runs the programs on this machine (tests, bench)
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

# A test program of the target's build runs on this machine under the emulator.
set(CMAKE_CROSSCOMPILING_EMULATOR ${DS_QEMU} -L ${DS_TARGET_PREFIX})
