# Portable executables: the programs that go into the plug-in bundle run on any x86-64 Linux with
# glibc 2.36 or newer. Everything but glibc's own libraries is linked in or carried in the bundle's
# lib/ folder:
# - Boost.URL and OpenSSL are linked from their static archives (ZB_STATIC_DEPS, for the whole build,
#   chosen before their find_package calls in Dependencies.cmake);
# - the libraries Debian ships only as shared objects (sdbus-c++, libsystemd, duktape, libmosquitto and
#   what they need) are copied into <bundle>/lib by bundle/carry_libraries.py; the executable finds
#   them through its RUNPATH $ORIGIN/lib, and each carried library finds its own through RUNPATH $ORIGIN.
#   libmosquitto brings the shared libssl.so.3 and libcrypto.so.3 along, which are carried with it.
# libstdc++ and libgcc_s are carried too rather than linked in with -static-libstdc++: sdbus-c++ is a
# shared C++ library and loads libstdc++.so.6 whatever the executable does, so a static copy would put
# two C++ runtimes into one process and cost about 330 KiB more resident memory after start (9.1 MiB
# against 8.7 MiB, measured side by side).
option(ZB_STATIC_DEPS "Link Boost.URL and OpenSSL from their static archives" ON)
if(ZB_STATIC_DEPS)
  set(Boost_USE_STATIC_LIBS ON)
  set(OPENSSL_USE_STATIC_LIBS ON)
endif()

# zb_portable_executable(<target>): the link settings of an executable that goes into the bundle.
function(zb_portable_executable target)
  # DT_RUNPATH rather than DT_RPATH, so that LD_LIBRARY_PATH can still override it when debugging.
  # In the build tree $ORIGIN/lib does not exist and the system's copies are used.
  target_link_options(${target} PRIVATE -Wl,--enable-new-dtags -Wl,--as-needed)
  set_target_properties(${target} PROPERTIES BUILD_RPATH "\$ORIGIN/lib" INSTALL_RPATH "\$ORIGIN/lib")
endfunction()
