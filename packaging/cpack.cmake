# The Debian packages, made by CPack from the install rules (scripts/package runs it):
#   ostrel-ops-control_<version>_<arch>.deb         the app, the terminal companion, desktop files
#   ostrel-ops-control-tools_<version>_<arch>.deb   the system simulator, for support and testing
#   ostrel-ops-control{,-tools}-dbgsym_<version>_<arch>.ddeb   their debug symbols
# Library dependencies come from dpkg-shlibdeps, never from a hand-kept list.

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME "${OSTREL_PKG_NAME}")
set(CPACK_PACKAGE_VENDOR "Ostrel Ops")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_CONTACT "Ostrel Ops Control maintainers <control@ostrelops.org>")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_PACKAGE_INSTALL_DIRECTORY "/usr")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_STRIP_FILES OFF)  # the dbgsym packages strip: see CPACK_DEBIAN_DEBUGINFO_PACKAGE

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL app tools)
set(CPACK_COMPONENTS_GROUPING IGNORE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
set(CPACK_DEBIAN_DEBUGINFO_PACKAGE ON)
# Directories in the archive as Debian expects them (0755), whatever the build user's umask.
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(CPACK_DEBIAN_APP_PACKAGE_NAME "${OSTREL_PKG_NAME}")
set(CPACK_DEBIAN_APP_FILE_NAME DEB-DEFAULT)
# The Secret Service keeps the saved passwords; without one the app still works but cannot save.
set(CPACK_DEBIAN_APP_PACKAGE_RECOMMENDS "gnome-keyring")
set(CPACK_DEBIAN_APP_PACKAGE_SUGGESTS "${OSTREL_PKG_NAME}-tools")
set(CPACK_DEBIAN_APP_DESCRIPTION
    "operator's desktop app for Ostrel Ops systems
Ostrel Ops Control finds the Ostrel Ops systems on the local network,
connects to one over HTTPS, checks that it really is a system, signs the
operator in and shows the system's Control UI in its own window.

Passwords and the discovery site key are kept in the desktop's Secret
Service. The app writes a readable log, an event log and crash reports
for support.

The package also holds ostrel-control-cli, a terminal companion that runs
the same network code for diagnostics and scripting.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME "${OSTREL_PKG_NAME}-tools")
set(CPACK_DEBIAN_TOOLS_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_TOOLS_DESCRIPTION
    "simulated Ostrel Ops system for testing Ostrel Ops Control
ostrel-system-sim plays one Ostrel Ops system on a loopback address: its
HTTPS API with a self-signed certificate, a small Control UI and a
discovery responder, with switches for the answers a client must handle.

It is meant for support engineers and for testing; operators do not need it.")

include(CPack)
