# Debian packages: sm-client (agent, control client, SQL tool, configuration
# templates) and sm-ctrld (the control daemon and its unit), built with
#   cmake --build build --target package     (or scripts/package)
# into build/packages/. Dependencies on shared libraries come from
# dpkg-shlibdeps; the maintainer scripts create directories and a default
# configuration through zarvo-config, the writer the sandbox uses too.
set(SM_VERSION 0.1.0 CACHE STRING "Version of the Debian packages")
set(sm_pkg ${CMAKE_SOURCE_DIR}/packaging)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME sm-client)
set(CPACK_PACKAGE_VERSION ${SM_VERSION})
set(CPACK_PACKAGE_VENDOR "Zarvo")
set(CPACK_PACKAGE_CONTACT "Zarvo node agent maintainers <zarvo-agent@example.org>")
# The unit, the package scripts and zarvo-config know the node layout only.
if(NOT CMAKE_INSTALL_PREFIX STREQUAL "/opt/zarvo")
  message(WARNING "Debian packages need CMAKE_INSTALL_PREFIX=/opt/zarvo")
endif()
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES TRUE)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL client ctrld)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)

set(CPACK_DEBIAN_CLIENT_PACKAGE_NAME sm-client)
# sqlite3: the maintainer scripts create the system database with it.
set(CPACK_DEBIAN_CLIENT_PACKAGE_DEPENDS "sqlite3")
set(CPACK_COMPONENT_CLIENT_DESCRIPTION
  "node agent of the Zarvo backup system
The backup server starts sm_client on client and storage nodes to do one
small job and report the result: read and write shared variables, test,
read and write files, create directories. The package also holds the
control-daemon client sm_ctrlc, the SQL command tool damisql and the
configuration templates; installing it creates /etc/opt/zarvo and
/var/opt/zarvo with a default configuration when none exists.")
set(CPACK_DEBIAN_CLIENT_PACKAGE_CONTROL_EXTRA
  "${sm_pkg}/sm-client/conffiles;${sm_pkg}/sm-client/postinst;${sm_pkg}/sm-client/postrm")

set(CPACK_DEBIAN_CTRLD_PACKAGE_NAME sm-ctrld)
set(CPACK_DEBIAN_CTRLD_PACKAGE_DEPENDS "sm-client (= ${SM_VERSION})")
set(CPACK_COMPONENT_CTRLD_DESCRIPTION
  "control daemon of the Zarvo backup system
ctrld runs commands for the backup server and other nodes of the backup
network as the users its allow list names, without a shell. The package
holds the daemon, its configuration template and a confined systemd
service, sm-ctrld.service, which listens on loopback until configured
otherwise.")
set(CPACK_DEBIAN_CTRLD_PACKAGE_CONTROL_EXTRA
  "${sm_pkg}/sm-ctrld/conffiles;${sm_pkg}/sm-ctrld/postinst;${sm_pkg}/sm-ctrld/prerm;${sm_pkg}/sm-ctrld/postrm")

include(CPack)

if(SM_BUILD_TESTS)
  add_subdirectory(${CMAKE_SOURCE_DIR}/tests/package ${CMAKE_BINARY_DIR}/tests/package)
endif()
