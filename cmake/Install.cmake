# Install rules and the Debian packages, for `cmake --install` and `cpack`.
#
#   cmake --install build --prefix /usr/local     (or DESTDIR=... for staging)
#   cd build && cpack -G DEB                      kestrad_VERSION_ARCH.deb, kestrad-dev_...
#
# Components: "runtime" (the kestrad package: programs, simulated USB
# library, man pages, completions, configuration, systemd and udev files,
# docs) and "dev" (kestrad-dev: the client library, its headers and
# pkg-config file).
#
# The configuration directory and the systemd units depend on the prefix
# given at install time, not at configure time: a prefix of /usr (the
# package) puts the configuration in /etc, any other prefix in PREFIX/etc,
# and the units name the programs and the configuration where they land.
include(GNUInstallDirs)

set(KESTRAD_DIST ${PROJECT_SOURCE_DIR}/dist)
# Private directory of the simulated libusb-0.1: never on the loader's path,
# so it cannot stand in for the system's libusb-0.1.so.4 by accident.
set(KESTRAD_PRIVATE_LIBDIR ${CMAKE_INSTALL_LIBDIR}/kestrad)
set(KESTRAD_SYSTEMD_UNITDIR lib/systemd/system CACHE STRING "systemd unit directory, relative to the prefix")
set(KESTRAD_UDEV_RULESDIR lib/udev/rules.d CACHE STRING "udev rules directory, relative to the prefix")
set(KESTRAD_SYSUSERSDIR lib/sysusers.d CACHE STRING "sysusers.d directory, relative to the prefix")

# ---- programs -------------------------------------------------------------

install(TARGETS kestrad kestractl kestrad-sim
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)

# The simulated bus, for LD_PRELOAD, and under its SONAME in simusb/ for
# LD_LIBRARY_PATH, as in the build tree.
install(TARGETS kestrad_simusb
  LIBRARY DESTINATION ${KESTRAD_PRIVATE_LIBDIR} COMPONENT runtime)
# install(FILES) copies a symbolic link as a link.
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/dist/simusb)
file(CREATE_LINK ../libkestrad-simusb.so ${CMAKE_BINARY_DIR}/dist/simusb/libusb-0.1.so.4 SYMBOLIC)
install(FILES ${CMAKE_BINARY_DIR}/dist/simusb/libusb-0.1.so.4
  DESTINATION ${KESTRAD_PRIVATE_LIBDIR}/simusb COMPONENT runtime)

# ---- man pages: roff sources in man/, installed compressed ------------------

set(KESTRAD_MAN_PAGES kestrad.1 kestractl.1 kestrad-sim.1)
set(_man_gz)
foreach(page ${KESTRAD_MAN_PAGES})
  set(_gz ${CMAKE_BINARY_DIR}/man/${page}.gz)
  add_custom_command(OUTPUT ${_gz}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
    COMMAND gzip -9n -c ${PROJECT_SOURCE_DIR}/man/${page} > ${_gz}
    DEPENDS ${PROJECT_SOURCE_DIR}/man/${page}
    COMMENT "Compressing man page ${page}")
  list(APPEND _man_gz ${_gz})
endforeach()
add_custom_target(kestrad_manpages ALL DEPENDS ${_man_gz})
install(FILES ${_man_gz} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT runtime)

# ---- shell completions: whatever completions/ holds -------------------------
# completions/bash/PROGRAM and completions/zsh/_PROGRAM.

file(GLOB _bash CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/completions/bash/*)
file(GLOB _zsh CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/completions/zsh/_*)
install(FILES ${_bash} DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions COMPONENT runtime)
install(FILES ${_zsh} DESTINATION ${CMAKE_INSTALL_DATADIR}/zsh/vendor-completions COMPONENT runtime)

# ---- configuration, systemd, udev, documentation ----------------------------

# The built-in document is also the editable configuration of the service.
set(_unit_out ${CMAKE_BINARY_DIR}/dist)
install(CODE "
  if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")
    set(_etc /etc/kestrad)
  else()
    set(_etc \"\${CMAKE_INSTALL_PREFIX}/etc/kestrad\")
  endif()
  file(INSTALL DESTINATION \"\${_etc}\" TYPE FILE FILES \"${PROJECT_SOURCE_DIR}/config/kestrad.xml\")

  set(KESTRAD_BINDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
  set(KESTRAD_ETCDIR \"\${_etc}\")
  set(KESTRAD_RUNDIR /run/kestrad)
  # One output directory per prefix, so that concurrent installs do not
  # share the generated units.
  string(MD5 _key \"\${CMAKE_INSTALL_PREFIX}\")
  set(_units)
  foreach(_unit kestrad.service kestrad-tcp.service)
    configure_file(\"${KESTRAD_DIST}/systemd/\${_unit}.in\" \"${_unit_out}/\${_key}/\${_unit}\" @ONLY)
    list(APPEND _units \"${_unit_out}/\${_key}/\${_unit}\")
  endforeach()
  file(INSTALL DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${KESTRAD_SYSTEMD_UNITDIR}\" TYPE FILE FILES \${_units})
" COMPONENT runtime)

install(FILES ${KESTRAD_DIST}/udev/60-kestrad.rules DESTINATION ${KESTRAD_UDEV_RULESDIR} COMPONENT runtime)
install(FILES ${KESTRAD_DIST}/sysusers/kestrad.conf DESTINATION ${KESTRAD_SYSUSERSDIR} COMPONENT runtime)
install(FILES README.md docs/protocol.md DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT runtime)
install(FILES config/kestrad.xml ${KESTRAD_DIST}/examples/network-peer.xml
  DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples COMPONENT runtime)

# ---- client library ---------------------------------------------------------
# Headers keep their tree paths under include/kestrad, so "client/Client.h"
# includes the same way in the tree and installed. Packets.h and
# LocalEndpoint.h give the command codes and endpoint rules to the raw layer.
# The client library sits on the bottom library (byte order, deadlines,
# connect), which is installed beside it.

set_target_properties(kestrad_client PROPERTIES OUTPUT_NAME kestrad-client)
set_target_properties(kestrad_base PROPERTIES OUTPUT_NAME kestrad-base)
install(TARGETS kestrad_client kestrad_base ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev)
install(FILES client/Client.h client/Protocol.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/kestrad/client COMPONENT dev)
install(FILES wire/Packets.h wire/LocalEndpoint.h wire/AsyncBatch.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/kestrad/wire COMPONENT dev)
install(FILES base/ByteOrder.h base/Deadline.h base/Connect.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/kestrad/base COMPONENT dev)
# The .pc file finds the prefix from its own place, so an unpacked tree works too.
file(RELATIVE_PATH KESTRAD_PC_TO_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
string(REGEX REPLACE "/$" "" KESTRAD_PC_TO_PREFIX "${KESTRAD_PC_TO_PREFIX}")
configure_file(${KESTRAD_DIST}/pkgconfig/kestrad-client.pc.in ${CMAKE_BINARY_DIR}/dist/kestrad-client.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/dist/kestrad-client.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)

# ---- Debian packages ----------------------------------------------------------

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kestrad)
set(CPACK_PACKAGE_VENDOR "kestrad developers")
set(CPACK_PACKAGE_CONTACT "kestrad developers <kestrad@example.org>")
# No CPACK_PACKAGE_DESCRIPTION_SUMMARY: each package's description starts
# with its own synopsis line.
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# The install rules above follow the prefix at install time; DESTDIR staging
# lets them see the real one (/usr).
set(CPACK_SET_DESTDIR ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL runtime dev)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME kestrad)
# The bash completions are loaded by bash-completion; without it they lie unused.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_RECOMMENDS bash-completion)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION electronics)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
  "JTAG adapter server
kestrad owns the JTAG adapters of a workstation (EZ-USB based adapters,
J-Link probes, FTDI MPSSE boards, and simulator peers over TCP) and lends
each one to one debugger client at a time over a local socket or TCP.
Includes kestractl, a command-line client, kestrad-sim, a simulated chip
behind a network peer, a simulated USB bus, a systemd service and udev
rules.")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA
  ${KESTRAD_DIST}/debian/postinst
  ${KESTRAD_DIST}/debian/prerm
  ${KESTRAD_DIST}/debian/postrm
  ${KESTRAD_DIST}/debian/conffiles)

set(CPACK_DEBIAN_DEV_PACKAGE_NAME kestrad-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_DEV_DESCRIPTION
  "client library for the kestrad JTAG adapter server
A static C++17 library that speaks kestrad's wire protocol (connect, list
and open adapters, scans, batches, memory blocks), with its headers and a
pkg-config file (kestrad-client).")

include(CPack)
