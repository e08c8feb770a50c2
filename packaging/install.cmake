# Installation and Debian packaging of tarvexd.
#
#   sudo cmake --install build      binary, man page, systemd unit, sudoers
#                                   rules (inactive), trusted keys if any
#   packaging/build.sh TARGET DIR   tarvexd_<version>_<arch>.deb (static build)
#
# The trusted keys always go to /etc, whatever the prefix: the daemon looks
# nowhere else. Stage with DESTDIR to keep them off the build machine's /etc.

include(GNUInstallDirs)

set(TARVEX_PACKAGING_DIR ${CMAKE_CURRENT_LIST_DIR})
# Everything below goes into the package; the trusted keys' two components
# are chosen further down.
set(CMAKE_INSTALL_DEFAULT_COMPONENT_NAME tarvexd)
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE
    GROUP_READ GROUP_EXECUTE
    WORLD_READ WORLD_EXECUTE)

install(TARGETS tarvexd RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
# Where pi's rules and the daemon name it, whatever the prefix.
install(TARGETS tarvex-mount RUNTIME DESTINATION /usr/libexec/tarvexd)

# The unit starts the binary by its full path, which depends on the prefix in
# force at install time (/usr in the .deb, /usr/local for a plain
# "cmake --install"), so the unit is written out then, not at configure time.
# systemd looks for units in <prefix>/lib/systemd/system for both prefixes.
install(CODE "
set(_tarvex_unit_in [[${TARVEX_PACKAGING_DIR}/tarvexd.service]])
set(_tarvex_unit_out [[${CMAKE_CURRENT_BINARY_DIR}/packaging/tarvexd.service]])
set(_tarvex_sbindir [[${CMAKE_INSTALL_SBINDIR}]])
")
install(CODE [[
if(IS_ABSOLUTE "${_tarvex_sbindir}")
  set(_tarvex_bin "${_tarvex_sbindir}/tarvexd")
else()
  set(_tarvex_bin "${CMAKE_INSTALL_PREFIX}/${_tarvex_sbindir}/tarvexd")
endif()
file(READ "${_tarvex_unit_in}" _tarvex_unit)
string(FIND "${_tarvex_unit}" "\nExecStart=/usr/sbin/tarvexd\n" _tarvex_at)
if(_tarvex_at EQUAL -1)
  message(FATAL_ERROR "${_tarvex_unit_in}: no line 'ExecStart=/usr/sbin/tarvexd' to point at ${_tarvex_bin}")
endif()
string(REPLACE "\nExecStart=/usr/sbin/tarvexd\n" "\nExecStart=${_tarvex_bin}\n" _tarvex_unit "${_tarvex_unit}")
file(WRITE "${_tarvex_unit_out}" "${_tarvex_unit}")
]])
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/packaging/tarvexd.service
        DESTINATION lib/systemd/system)

# pi's sudo rules go in inactive: the package's postinst puts them in
# /etc/sudoers.d; after a plain install the administrator does (see the
# reference page). A sudoers.d file with a syntax error makes sudo refuse
# every command, for every user; never ship one that visudo rejects.
install(CODE "
set(_tarvex_sudoers [[${TARVEX_PACKAGING_DIR}/tarvexd]])
")
install(CODE [[
find_program(_tarvex_visudo visudo PATHS /usr/sbin /sbin)
if(_tarvex_visudo)
  execute_process(COMMAND ${_tarvex_visudo} -cf ${_tarvex_sudoers}
                  RESULT_VARIABLE _tarvex_visudo_rc)
  if(NOT _tarvex_visudo_rc EQUAL 0)
    message(FATAL_ERROR "visudo rejects ${_tarvex_sudoers}; not installing it")
  endif()
endif()
]])
install(FILES ${TARVEX_PACKAGING_DIR}/tarvexd
        DESTINATION ${CMAKE_INSTALL_DATADIR}/tarvexd
        RENAME sudoers
        PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

# The page names the daemon's version in its title line, written out so that
# man -l reads the source as it is; a version raised without it stops here.
file(STRINGS ${TARVEX_PACKAGING_DIR}/tarvexd.8 _tarvex_man_title REGEX "^\\.TH ")
if(NOT _tarvex_man_title MATCHES "\"tarvexd ${PROJECT_VERSION}\"")
  message(FATAL_ERROR "packaging/tarvexd.8: its .TH line names no \"tarvexd ${PROJECT_VERSION}\": ${_tarvex_man_title}")
endif()

# Debian wants manual pages compressed with gzip -9n; man reads them so from
# /usr/local too.
configure_file(${TARVEX_PACKAGING_DIR}/tarvexd.8 ${CMAKE_CURRENT_BINARY_DIR}/packaging/tarvexd.8 COPYONLY)
execute_process(
  COMMAND gzip -9nf ${CMAKE_CURRENT_BINARY_DIR}/packaging/tarvexd.8
  RESULT_VARIABLE _tarvex_gzip_rc)
if(NOT _tarvex_gzip_rc EQUAL 0)
  message(FATAL_ERROR "gzip failed on the manual page")
endif()
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/packaging/tarvexd.8.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)

# ---- Trusted keys ------------------------------------------------------------
#
# With keys, the daemon runs only update scripts signed by one of them. A
# plain install puts them straight into /etc/tarvexd/trusted-keys. The
# package does not: it ships them in /usr/share/tarvexd/trusted-keys, and its
# postinst copies them into /etc and removes there the keys that an earlier
# version put in and this one no longer ships. Shipped in /etc they would be
# conffiles, and dpkg leaves a conffile that a new version drops on disk, so
# a revoked key would stay trusted; and a directory that a new version no
# longer ships goes once empty, turning trust off on a device whose keys had
# all been deleted.
# /etc/tarvexd/trusted-keys is never removed but by a purge: a package
# without keys leaves it empty there, and nothing runs, rather than everything.
# Without keys nothing at all is installed under /etc/tarvexd.
set(TARVEX_TRUSTED_KEYS "" CACHE STRING
    "minisign public keys (.pub files, ;-separated) that the devices trust for update scripts")
set(_tarvex_key_names "")
foreach(_tarvex_key IN LISTS TARVEX_TRUSTED_KEYS)
  get_filename_component(_tarvex_key_name "${_tarvex_key}" NAME)
  # Only *.pub counts as a key on the device; the name also goes through the
  # maintainer scripts' shell, so keep it plain.
  if(NOT _tarvex_key_name MATCHES "^[A-Za-z0-9_][A-Za-z0-9_.+-]*\\.pub$")
    message(FATAL_ERROR "TARVEX_TRUSTED_KEYS: '${_tarvex_key}' must be named NAME.pub (letters, digits, . _ + -)")
  endif()
  if(_tarvex_key_name IN_LIST _tarvex_key_names)
    message(FATAL_ERROR "TARVEX_TRUSTED_KEYS: two keys named ${_tarvex_key_name}")
  endif()
  list(APPEND _tarvex_key_names "${_tarvex_key_name}")
  # A malformed key makes the device refuse every script; refuse it here.
  # minisign's public key file: a comment line, then "Ed", the 8-byte key id
  # and the 32-byte key in base64 (56 characters).
  if(NOT EXISTS "${_tarvex_key}")
    message(FATAL_ERROR "TARVEX_TRUSTED_KEYS: no file ${_tarvex_key}")
  endif()
  file(STRINGS "${_tarvex_key}" _tarvex_key_lines)
  list(LENGTH _tarvex_key_lines _tarvex_key_count)
  if(_tarvex_key_count EQUAL 2)
    list(GET _tarvex_key_lines 0 _tarvex_key_comment)
    list(GET _tarvex_key_lines 1 _tarvex_key_base64)
  endif()
  if(NOT _tarvex_key_count EQUAL 2 OR NOT _tarvex_key_comment MATCHES "^untrusted comment: "
     OR NOT _tarvex_key_base64 MATCHES "^RW[A-Za-z0-9+/]+$")
    message(FATAL_ERROR "TARVEX_TRUSTED_KEYS: ${_tarvex_key} is not a minisign public key")
  endif()
  string(LENGTH "${_tarvex_key_base64}" _tarvex_key_length)
  if(NOT _tarvex_key_length EQUAL 56)
    message(FATAL_ERROR "TARVEX_TRUSTED_KEYS: ${_tarvex_key} is not a minisign public key")
  endif()
endforeach()
if(TARVEX_TRUSTED_KEYS)
  # The first for a plain install only: the package's components
  # (CPACK_INSTALL_CMAKE_PROJECTS) leave it out. The second for the package
  # only: EXCLUDE_FROM_ALL keeps it out of a plain install.
  install(FILES ${TARVEX_TRUSTED_KEYS}
          DESTINATION /etc/tarvexd/trusted-keys
          PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
          COMPONENT trusted-keys)
  install(FILES ${TARVEX_TRUSTED_KEYS}
          DESTINATION ${CMAKE_INSTALL_DATADIR}/tarvexd/trusted-keys
          PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
          COMPONENT package-trusted-keys EXCLUDE_FROM_ALL)
endif()

# ---- Log key -----------------------------------------------------------------
#
# With a log public key (tools/tarvex-key keygen makes the pair), a device that
# trusts keys hands its log over only sealed to it. Installed as the trusted
# keys are: straight into /etc by a plain install, through
# /usr/share/tarvexd/log-keys and the postinst's copy by the package.
set(TARVEX_LOG_KEY "" CACHE FILEPATH
    "a log public key (NAME.pub, from tarvex-key keygen) that devices seal their logs to")
if(TARVEX_LOG_KEY)
  get_filename_component(_tarvex_log_key_name "${TARVEX_LOG_KEY}" NAME)
  if(NOT _tarvex_log_key_name MATCHES "^[A-Za-z0-9_][A-Za-z0-9_.+-]*\\.pub$")
    message(FATAL_ERROR "TARVEX_LOG_KEY: '${TARVEX_LOG_KEY}' must be named NAME.pub (letters, digits, . _ + -)")
  endif()
  if(NOT TARVEX_TRUSTED_KEYS)
    message(FATAL_ERROR "TARVEX_LOG_KEY: only a device that trusts keys seals its log; give TARVEX_TRUSTED_KEYS too")
  endif()
  if(NOT EXISTS "${TARVEX_LOG_KEY}")
    message(FATAL_ERROR "TARVEX_LOG_KEY: no file ${TARVEX_LOG_KEY}")
  endif()
  # A key the device cannot read makes it keep every log; refuse it here.
  # The file: a comment line, then "Lx", the 8-byte key id and the 32-byte
  # key in base64 (56 characters, "TH" first).
  file(STRINGS "${TARVEX_LOG_KEY}" _tarvex_log_key_lines)
  list(LENGTH _tarvex_log_key_lines _tarvex_log_key_count)
  if(_tarvex_log_key_count EQUAL 2)
    list(GET _tarvex_log_key_lines 0 _tarvex_log_key_comment)
    list(GET _tarvex_log_key_lines 1 _tarvex_log_key_base64)
    string(LENGTH "${_tarvex_log_key_base64}" _tarvex_log_key_length)
  endif()
  if(NOT _tarvex_log_key_count EQUAL 2 OR NOT _tarvex_log_key_comment MATCHES "^untrusted comment: "
     OR NOT _tarvex_log_key_base64 MATCHES "^TH[A-Za-z0-9+/]+$" OR NOT _tarvex_log_key_length EQUAL 56)
    message(FATAL_ERROR "TARVEX_LOG_KEY: ${TARVEX_LOG_KEY} is not a log public key (tarvex-key keygen)")
  endif()
  install(FILES ${TARVEX_LOG_KEY}
          DESTINATION /etc/tarvexd/log-keys
          PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
          COMPONENT log-key)
  install(FILES ${TARVEX_LOG_KEY}
          DESTINATION ${CMAKE_INSTALL_DATADIR}/tarvexd/log-keys
          PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
          COMPONENT package-log-key EXCLUDE_FROM_ALL)
endif()

# ---- Debian package --------------------------------------------------------

# The project has no mail domain of its own; .invalid says so rather than
# pointing at somebody else's. A fleet's maker sets a real one.
set(TARVEX_DEB_MAINTAINER "tarvexd developers <tarvexd@tarvexd.invalid>"
    CACHE STRING "Maintainer field of the Debian package")
set(TARVEX_DEB_VERSION "" CACHE STRING
    "Version of the Debian package (default: the daemon's). Raise it for a package that only changes the trusted keys.")
if(TARVEX_DEB_VERSION)
  set(TARVEX_PACKAGE_VERSION "${TARVEX_DEB_VERSION}")
else()
  set(TARVEX_PACKAGE_VERSION "${PROJECT_VERSION}")
endif()

# Debian wants a copyright file and a changelog compressed with gzip -9n.
configure_file(${TARVEX_PACKAGING_DIR}/debian/changelog.in
               ${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog @ONLY)
execute_process(
  COMMAND gzip -9nf ${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog
  RESULT_VARIABLE _tarvex_gzip_rc)
if(NOT _tarvex_gzip_rc EQUAL 0)
  message(FATAL_ERROR "gzip failed on the package changelog")
endif()
# README.Debian stays as it is: under 4 kB, which Debian does not compress.
install(FILES ${TARVEX_PACKAGING_DIR}/debian/copyright
              ${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog.gz
              ${TARVEX_PACKAGING_DIR}/README.Debian
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

if(TARVEX_STATIC)
  install(FILES ${TARVEX_PACKAGING_DIR}/debian/lintian-overrides
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides
          RENAME tarvexd)
endif()

# The Debian architecture follows the compiler, so a cross build with
# cmake/toolchain-arm64.cmake yields an arm64 package on an amd64 machine. The
# armhf toolchain file names its architecture itself: its compiler is armel's.
if(TARVEX_DEB_ARCHITECTURE)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${TARVEX_DEB_ARCHITECTURE})
endif()
if(NOT CPACK_DEBIAN_PACKAGE_ARCHITECTURE)
  set(_tarvex_deb_arch_of_x86_64-linux-gnu amd64)
  set(_tarvex_deb_arch_of_arm-linux-gnueabihf armhf)
  set(_tarvex_deb_arch_of_arm-linux-gnueabi armel)
  set(_tarvex_deb_arch_of_aarch64-linux-gnu arm64)
  set(_tarvex_deb_arch_of_i386-linux-gnu i386)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE
      "${_tarvex_deb_arch_of_${CMAKE_LIBRARY_ARCHITECTURE}}")
  if(NOT CPACK_DEBIAN_PACKAGE_ARCHITECTURE)
    message(FATAL_ERROR "No Debian architecture known for '${CMAKE_LIBRARY_ARCHITECTURE}'; "
                        "pass -DCPACK_DEBIAN_PACKAGE_ARCHITECTURE=...")
  endif()
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tarvexd)
set(CPACK_PACKAGE_VERSION ${TARVEX_PACKAGE_VERSION})
set(CPACK_PACKAGE_CONTACT "${TARVEX_DEB_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${TARVEX_DEB_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "USB key updates and application watchdog for Quorl devices")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"tarvexd runs as the user pi under systemd. It mounts an inserted USB key
at /home/pi/media, runs the update script it carries, and restarts the
application /home/pi/Quorl whenever it is not running. Its root steps are
fdisk and tarvex-mount, which mounts a USB key only on the locked mount
point and checks both at every call.")
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# The sudoers rules use argument regular expressions (sudo 1.9.10 and
# later); the maintainer scripts use deb-systemd-helper and -invoke, chattr
# and lsattr for the mount point, and unshare (util-linux, as mount) to look
# beneath a key mounted on it.
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "sudo (>= 1.9.10), fdisk, mount, alsa-utils, init-system-helpers (>= 1.52), e2fsprogs")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${TARVEX_PACKAGING_DIR}/debian/preinst
    ${TARVEX_PACKAGING_DIR}/debian/postinst
    ${TARVEX_PACKAGING_DIR}/debian/prerm
    ${TARVEX_PACKAGING_DIR}/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
set(CPACK_STRIP_FILES TRUE)
# Stage with DESTDIR so that the absolute /etc/sudoers.d lands in the package
# (not on this machine) and the unit sees the package's prefix, /usr.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_CMAKE_PROJECTS
    "${CMAKE_BINARY_DIR};tarvexd;tarvexd;/"
    "${CMAKE_BINARY_DIR};tarvexd;package-trusted-keys;/"
    "${CMAKE_BINARY_DIR};tarvexd;package-log-key;/")
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS ${CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS})
# Packages carry the static build only: the same file for every release of
# Raspberry Pi OS, needing nothing (libsodium included) from the device.
if(NOT TARVEX_STATIC)
  set(CPACK_PROJECT_CONFIG_FILE ${TARVEX_PACKAGING_DIR}/cpack-refuse.cmake)
endif()

include(CPack)
