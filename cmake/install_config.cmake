# Install step for what depends on the prefix chosen at install time: the systemd unit, which
# names the program and its configuration file, and the configuration file, which an upgrade
# never overwrites. Runs inside cmake_install.cmake, so CMAKE_INSTALL_PREFIX is the prefix in
# force and file(INSTALL) puts $DESTDIR in front of every destination.

# Where the configuration goes: /etc for the system-wide prefixes /, /usr and /usr/local, since
# that is where the daemon looks when no -c is given; /etc/opt/NAME for /opt/NAME, as
# GNUInstallDirs has it; PREFIX/etc for a private prefix.
if(CMAKE_INSTALL_PREFIX MATCHES "^/((usr|usr/local)/?)?$")
  set(sysconfdir "/etc")
elseif(CMAKE_INSTALL_PREFIX MATCHES "^/opt/")
  set(sysconfdir "/etc${CMAKE_INSTALL_PREFIX}")
else()
  set(sysconfdir "${CMAKE_INSTALL_PREFIX}/etc")
endif()
if(IS_ABSOLUTE "${VELMORANT_SBINDIR}")
  set(sbindir "${VELMORANT_SBINDIR}")
else()
  set(sbindir "${CMAKE_INSTALL_PREFIX}/${VELMORANT_SBINDIR}")
endif()
string(REGEX REPLACE "/+$" "" sysconfdir "${sysconfdir}")
string(REGEX REPLACE "//+" "/" sbindir "${sbindir}")

# The unit goes where systemd looks for units of packages: /usr/lib/systemd/system for /usr,
# /usr/local/lib/systemd/system for /usr/local.
set(SBINDIR "${sbindir}")
set(SYSCONFDIR "${sysconfdir}")
configure_file("${VELMORANT_SOURCE_DIR}/etc/velmorant.service.in"
               "${VELMORANT_BINARY_DIR}/velmorant.service" @ONLY)
file(INSTALL "${VELMORANT_BINARY_DIR}/velmorant.service"
     DESTINATION "${CMAKE_INSTALL_PREFIX}/lib/systemd/system")

# The configuration holds database passwords: readable by root and its group only.
set(conf "$ENV{DESTDIR}${sysconfdir}/velmorant.conf")
if(EXISTS "${conf}")
  message(STATUS "Keeping: ${conf}")
else()
  file(INSTALL "${VELMORANT_SOURCE_DIR}/etc/velmorant.conf" DESTINATION "${sysconfdir}"
       PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ)
endif()
