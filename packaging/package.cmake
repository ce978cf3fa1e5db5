# `make package`: one Debian package, tavro-companion_VERSION_ARCH.deb, from the install rules.
#
# The client library and its headers travel in the same package as the agent: the library speaks
# the protocol of the agent it ships with, and a host developer who installs one needs the other.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tavro-companion)
set(CPACK_PACKAGE_VENDOR Vextralune)
set(CPACK_PACKAGE_CONTACT "Vextralune <companion@vextralune.es>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "system tools for the Tavro Files file manager")
set(CPACK_PACKAGE_DESCRIPTION
  "Tavro Files runs in a sandbox that forbids it to start system tools or drive
other programs' windows. This companion does that work on its behalf: encrypted
vaults, SFTP and cloud connections and mounts through rclone, synchronisation,
Git status, system care and the assistant for Open and Save dialogs.
.
It runs as a per-user systemd service started on the first connection, with a
setup window in the desktop's menu, the command-line client
tavro-companion-ctl, and the client library for host applications.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The shared library's shlibs entry and dpkg's ldconfig trigger, instead of maintainer scripts
# that call ldconfig themselves.
configure_file(${CMAKE_CURRENT_LIST_DIR}/shlibs.in ${CMAKE_BINARY_DIR}/packaging/control/shlibs @ONLY)
configure_file(${CMAKE_CURRENT_LIST_DIR}/triggers ${CMAKE_BINARY_DIR}/packaging/control/triggers COPYONLY)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${CMAKE_BINARY_DIR}/packaging/control/shlibs ${CMAKE_BINARY_DIR}/packaging/control/triggers)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The agent finds these tools at run time and answers without them.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "rclone, fuse3, git")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX "${CMAKE_INSTALL_PREFIX}")
set(CPACK_PACKAGE_DIRECTORY "${CMAKE_BINARY_DIR}")
include(CPack)
