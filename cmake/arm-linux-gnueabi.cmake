# 32-bit ARM, little-endian, soft float (Debian armel): cmake --preset armel.
set(CMAKE_SYSTEM_PROCESSOR arm)
set(DS_TRIPLET arm-linux-gnueabi)
set(DS_DEB_ARCH armel)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
