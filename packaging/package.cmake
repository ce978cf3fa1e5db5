# `make package`: three Debian packages from the install rules, as Debian's policy for shared
# libraries wants them:
#   tavro-companion                 the agent, its setup window, the command-line client
#   libtavro-companion-client0      the client library, named after its soname
#   libtavro-companion-client-dev   its header, the linker's name for it, the CMake and
#                                   pkg-config files and the example host program
# Install rules without a component (every rule of the agent) belong to the first.
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_PACKAGE_NAME tavro-companion)
set(CPACK_PACKAGE_VENDOR Vextralune)
set(CPACK_PACKAGE_CONTACT "Vextralune <companion@vextralune.es>")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX "${CMAKE_INSTALL_PREFIX}")
set(CPACK_PACKAGE_DIRECTORY "${CMAKE_BINARY_DIR}")
set(COMPANION_CLIENT_PACKAGE libtavro-companion-client${PROJECT_VERSION_MAJOR})
set(COMPANION_CLIENT_DEV_PACKAGE libtavro-companion-client-dev)

# The agent.
set(CPACK_DEBIAN_UNSPECIFIED_PACKAGE_NAME tavro-companion)
set(CPACK_DEBIAN_UNSPECIFIED_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_UNSPECIFIED_PACKAGE_SHLIBDEPS ON)
set(CPACK_COMPONENT_UNSPECIFIED_DESCRIPTION "system tools for the Tavro Files file manager
Tavro Files runs in a sandbox that forbids it to start system tools or drive
other programs' windows. This companion does that work on its behalf: encrypted
vaults, SFTP and cloud connections and mounts through rclone, synchronisation,
Git status, system care and the assistant for Open and Save dialogs.
.
It runs as a per-user systemd service started on the first connection, with a
setup window in the desktop's menu and the command-line client
tavro-companion-ctl.")
# The agent finds these tools at run time and answers without them: rclone and fuse3 for
# remote storage and its mounts, git for Git status, pkexec for the privileged requests,
# gocryptfs and 7zip for vaults and encrypted archives.
set(CPACK_DEBIAN_UNSPECIFIED_PACKAGE_RECOMMENDS "rclone, fuse3, git, pkexec, gocryptfs, 7zip")

# The client library. Its shlibs entry and dpkg's ldconfig trigger do what maintainer scripts
# would: no script is packaged. CPack's own dependency scan is off for it, since that scan also
# writes scripts that call ldconfig; its dependencies come from dpkg-shlibdeps at build time
# (packaging/client_depends.cmake), read when cpack runs.
set(control ${CMAKE_BINARY_DIR}/packaging/control)
configure_file(${CMAKE_CURRENT_LIST_DIR}/shlibs.in ${control}/shlibs @ONLY)
configure_file(${CMAKE_CURRENT_LIST_DIR}/triggers ${control}/triggers COPYONLY)
set(COMPANION_CLIENT_DEPENDS_FILE ${CMAKE_BINARY_DIR}/packaging/client-depends)
configure_file(${CMAKE_CURRENT_LIST_DIR}/cpack_config.cmake.in ${CMAKE_BINARY_DIR}/packaging/cpack_config.cmake @ONLY)
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_BINARY_DIR}/packaging/cpack_config.cmake)
set(CPACK_DEBIAN_CLIENT_RUNTIME_PACKAGE_NAME ${COMPANION_CLIENT_PACKAGE})
set(CPACK_DEBIAN_CLIENT_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_CLIENT_RUNTIME_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_CLIENT_RUNTIME_PACKAGE_CONTROL_EXTRA ${control}/shlibs ${control}/triggers)
set(CPACK_COMPONENT_CLIENT_RUNTIME_DESCRIPTION "client library for the Tavro Files companion
Connects a host application to the Tavro Files companion's per-user agent,
calls any of its messages and receives its callbacks.
.
This package holds the shared library.")

# The SDK for host developers.
set(CPACK_DEBIAN_CLIENT_DEV_PACKAGE_NAME ${COMPANION_CLIENT_DEV_PACKAGE})
set(CPACK_DEBIAN_CLIENT_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_CLIENT_DEV_PACKAGE_DEPENDS "${COMPANION_CLIENT_PACKAGE} (= ${PROJECT_VERSION})")
set(CPACK_COMPONENT_CLIENT_DEV_DESCRIPTION "client library for the Tavro Files companion - development files
Connects a host application to the Tavro Files companion's per-user agent,
calls any of its messages and receives its callbacks.
.
This package holds the header, the CMake package, the pkg-config file and an
example host program.")
include(CPack)
