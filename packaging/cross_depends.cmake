# Run by cpack in a cross build: the dependencies of stowbox-config from the cross C library.
# dpkg-shlibdeps finds the library in DS_TARGET_LIBDIR and reads the shlibs file of Debian's
# cross package (libc6-<arch>-cross), which names the target's own package as "libc6:<arch>";
# on the appliance that is plain "libc6".
# Set by the caller: DS_DEB_ARCH, DS_TARGET_LIBDIR, DS_PROGRAMS (the five programs), DS_SCRATCH.
file(MAKE_DIRECTORY ${DS_SCRATCH}/debian)
file(WRITE ${DS_SCRATCH}/debian/control
     "Source: stowbox\n\nPackage: stowbox-config\nArchitecture: ${DS_DEB_ARCH}\n")
execute_process(COMMAND env DEB_HOST_ARCH=${DS_DEB_ARCH} dpkg-shlibdeps -O -l${DS_TARGET_LIBDIR}
                        ${DS_PROGRAMS}
                WORKING_DIRECTORY ${DS_SCRATCH}
                OUTPUT_VARIABLE ds_shlibs ERROR_VARIABLE ds_errors RESULT_VARIABLE ds_rc
                OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT ds_rc EQUAL 0 OR NOT ds_shlibs MATCHES "^shlibs:Depends=")
    message(FATAL_ERROR "dpkg-shlibdeps on the cross-built programs failed:\n${ds_errors}")
endif()
string(REGEX REPLACE "^shlibs:Depends=" "" ds_depends "${ds_shlibs}")
string(REPLACE ":${DS_DEB_ARCH}" "" ds_depends "${ds_depends}")
set(CPACK_DEBIAN_APPLIANCE_PACKAGE_DEPENDS "${ds_depends}")
message(STATUS "stowbox-config (${DS_DEB_ARCH}) depends on: ${ds_depends}")
