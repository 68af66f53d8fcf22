# Installation layout of a node: programs under /opt/zarvo, configuration
# under /etc/opt/zarvo (the agent's second root-file default), variable data
# under /var/opt/zarvo. With the prefix /opt/zarvo, GNUInstallDirs puts
# SYSCONFDIR and LOCALSTATEDIR at /etc/opt/zarvo and /var/opt/zarvo.
#
# Components: client (agent, control client, SQL tool, configuration
# templates), ctrld (daemon and its unit), standins (companion stand-ins for
# test installations; never installed unless asked for with
# `cmake --install build --component standins`), setup (runs zarvo-config
# on a real install so that the node has its directories and a default
# configuration; skipped under DESTDIR).
# A build tree configured before this layout existed holds CMake's default
# /usr/local: moved once as well (a later -DCMAKE_INSTALL_PREFIX still wins).
if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT OR
   (NOT SM_PREFIX_SET AND CMAKE_INSTALL_PREFIX STREQUAL "/usr/local"))
  set(CMAKE_INSTALL_PREFIX /opt/zarvo CACHE PATH "Installation prefix" FORCE)
endif()
set(SM_PREFIX_SET ON CACHE INTERNAL "")
include(GNUInstallDirs)

# Manual pages go where man finds them without a MANPATH.
set(SM_MANDIR /usr/share/man CACHE PATH "Directory for the manual pages")
set(SM_UNITDIR /lib/systemd/system CACHE PATH "Directory for systemd units")
set(SM_DOCDIR /usr/share/doc CACHE PATH "Directory for package documents")
set(sm_etc ${CMAKE_INSTALL_FULL_SYSCONFDIR})
set(sm_pkg ${CMAKE_SOURCE_DIR}/packaging)

install(TARGETS sm_client sm_ctrlc damisql damisql_pg
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT client)
install(PROGRAMS ${CMAKE_SOURCE_DIR}/scripts/zarvo-config
  DESTINATION ${CMAKE_INSTALL_SBINDIR} COMPONENT client)
# The agent runs the SQL tool from its database directory ("gv_ro_db").
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/install)
file(CREATE_LINK ../bin/damisql ${CMAKE_BINARY_DIR}/install/damisql SYMBOLIC)
install(FILES ${CMAKE_BINARY_DIR}/install/damisql
  DESTINATION ${CMAKE_INSTALL_PREFIX}/db COMPONENT client)
# Directories other parts of the system fill (media server, PostgreSQL tools).
install(DIRECTORY DESTINATION ${CMAKE_INSTALL_PREFIX}/sms COMPONENT client)
install(DIRECTORY DESTINATION ${CMAKE_INSTALL_PREFIX}/pgsql COMPONENT client)
install(FILES ${CMAKE_SOURCE_DIR}/scripts/db/schema.sql ${CMAKE_SOURCE_DIR}/scripts/db/seed.sql
  DESTINATION ${CMAKE_INSTALL_DATADIR} COMPONENT client)
install(FILES ${sm_pkg}/templates/zarvo.ini.in ${sm_pkg}/templates/sm.ini.in
  ${sm_pkg}/templates/stpd.ini.in ${sm_pkg}/templates/openrda.ini.in
  ${sm_pkg}/templates/debug.ini.in ${sm_pkg}/templates/mtf_extended_header.dat
  ${sm_pkg}/templates/mtf_trailer.dat ${sm_pkg}/templates/zarvo_cmdusers.allow
  ${sm_pkg}/templates/sms.ini.in
  DESTINATION ${sm_etc}/templates COMPONENT client)
install(FILES ${sm_pkg}/sm-client.logrotate
  DESTINATION /etc/logrotate.d RENAME sm-client COMPONENT client)

install(TARGETS ctrld RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT ctrld)
install(FILES ${sm_pkg}/templates/ctrld.ini.in DESTINATION ${sm_etc}/templates COMPONENT ctrld)
install(FILES ${sm_pkg}/sm-ctrld.service DESTINATION ${SM_UNITDIR} COMPONENT ctrld)

file(GLOB standins CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tools/standins/bin/*)
install(PROGRAMS ${standins} DESTINATION ${CMAKE_INSTALL_BINDIR}
  COMPONENT standins EXCLUDE_FROM_ALL)
# The agent runs the media server's interface program from "gv_ro_sms".
install(PROGRAMS ${CMAKE_SOURCE_DIR}/tools/standins/bin/sm_sms_interface
  DESTINATION ${CMAKE_INSTALL_PREFIX}/sms COMPONENT standins EXCLUDE_FROM_ALL)

# Manual pages, compressed as Debian wants them.
find_program(GZIP gzip REQUIRED)
set(sm_man_out)
foreach(page sm_client.1 sm_ctrlc.1 damisql.1 ctrld.8)
  string(REGEX REPLACE ".*\\.([0-9])$" "\\1" sect ${page})
  set(out ${CMAKE_BINARY_DIR}/man/${page}.gz)
  add_custom_command(OUTPUT ${out}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
    COMMAND ${GZIP} -9nc ${CMAKE_SOURCE_DIR}/man/${page} > ${out}
    DEPENDS ${CMAKE_SOURCE_DIR}/man/${page} VERBATIM)
  list(APPEND sm_man_out ${out})
  if(page STREQUAL "ctrld.8")
    install(FILES ${out} DESTINATION ${SM_MANDIR}/man${sect} COMPONENT ctrld)
  else()
    install(FILES ${out} DESTINATION ${SM_MANDIR}/man${sect} COMPONENT client)
  endif()
endforeach()
add_custom_target(sm_man ALL DEPENDS ${sm_man_out})

# Package documents: copyright and changelog for each package, overrides for
# the lintian checks this layout fails by design (see the file's comments).
foreach(comp client ctrld)
  set(pkg sm-${comp})
  set(out ${CMAKE_BINARY_DIR}/doc/${pkg})
  add_custom_command(OUTPUT ${out}/changelog.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${out}
    COMMAND ${GZIP} -9nc ${sm_pkg}/changelog > ${out}/changelog.gz
    DEPENDS ${sm_pkg}/changelog VERBATIM)
  add_custom_target(doc-${pkg} ALL DEPENDS ${out}/changelog.gz)
  install(FILES ${sm_pkg}/copyright ${out}/changelog.gz
    DESTINATION ${SM_DOCDIR}/${pkg} COMPONENT ${comp})
  install(FILES ${sm_pkg}/${pkg}.lintian-overrides
    DESTINATION /usr/share/lintian/overrides RENAME ${pkg} COMPONENT ${comp})
endforeach()

# A real install (not a staged one) leaves a working node behind; the
# configuration writer knows the node layout only.
if(CMAKE_INSTALL_PREFIX STREQUAL "/opt/zarvo")
  install(CODE "
  if(\"\$ENV{DESTDIR}\" STREQUAL \"\")
    execute_process(COMMAND ${CMAKE_INSTALL_FULL_SBINDIR}/zarvo-config --ctrld COMMAND_ERROR_IS_FATAL ANY)
  else()
    message(STATUS \"DESTDIR install: run ${CMAKE_INSTALL_FULL_SBINDIR}/zarvo-config on the node\")
  endif()" COMPONENT setup)
endif()
