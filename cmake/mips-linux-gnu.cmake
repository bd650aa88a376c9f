# 32-bit MIPS, big-endian (Debian mips): cmake --preset mips.
set(CMAKE_SYSTEM_PROCESSOR mips)
set(DS_TRIPLET mips-linux-gnu)
set(DS_DEB_ARCH mips)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
