# The two Debian packages, built by `cpack` (scripts/package.sh): `tallyvane` from the desktop
# component and `tallyvane-exporter` from the fleet component with its example configuration.
# Shared-library dependencies come from dpkg-shlibdeps; what is loaded at run time (the ODBC
# driver manager and FreeTDS driver, Qt's SQLite driver) is named here.

# Debian wants these two per package, and an example configuration that dpkg keeps as the
# administrator edits it (conffiles).
foreach(component_package desktop:tallyvane fleet:tallyvane-exporter)
  string(REPLACE ":" ";" pair ${component_package})
  list(GET pair 0 component)
  list(GET pair 1 package)
  install(FILES ${_doc}/copyright DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package}
    COMPONENT ${component})
  install(FILES ${_doc}/${package}.changelog.gz DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package}
    RENAME changelog.gz COMPONENT ${component})
  if(EXISTS ${PROJECT_SOURCE_DIR}/contrib/debian/${package}.lintian-overrides)
    install(FILES ${PROJECT_SOURCE_DIR}/contrib/debian/${package}.lintian-overrides
      DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME ${package}
      COMPONENT ${component})
  endif()
endforeach()

# The server list holds passwords: the folder and its files are root's alone.
install(DIRECTORY DESTINATION /etc/tallyvane COMPONENT fleetconfig EXCLUDE_FROM_ALL
  DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)
install(FILES ${PROJECT_SOURCE_DIR}/contrib/etc/servers.ini ${PROJECT_SOURCE_DIR}/contrib/etc/tallyvane.ini
  DESTINATION /etc/tallyvane PERMISSIONS OWNER_READ OWNER_WRITE
  COMPONENT fleetconfig EXCLUDE_FROM_ALL)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tallyvane)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Tallyvane developers")
set(CPACK_PACKAGE_CONTACT "Tallyvane developers <tallyvane@tallyvane.invalid>")
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
# Absolute destinations (/etc, /lib/systemd) and a unit that names /usr/bin need the real prefix
# at install time, below a staging root.
set(CPACK_SET_DESTDIR ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL desktop fleet fleetconfig)
set(CPACK_COMPONENTS_GROUPING ONE_PER_GROUP)
set(CPACK_COMPONENT_DESKTOP_GROUP desktop)
set(CPACK_COMPONENT_FLEET_GROUP exporter)
set(CPACK_COMPONENT_FLEETCONFIG_GROUP exporter)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION database)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_DESKTOP_PACKAGE_NAME tallyvane)
# libcurl itself comes through dpkg-shlibdeps; HTTPS webhooks and SMTP over TLS check the
# receiver's certificate against the system's authorities.
set(CPACK_DEBIAN_DESKTOP_PACKAGE_DEPENDS "unixodbc, tdsodbc, libqt6sql6-sqlite, ca-certificates")
set(CPACK_DEBIAN_DESKTOP_DESCRIPTION "monitor for blocking in Microsoft SQL Server
Tallyvane watches Microsoft SQL Server instances for processes that block
each other. It shows every blocked process under the process that blocks
it, warns with a tray icon, a sound and a balloon when a blocked process has
waited too long, shows a process's last SQL command and can kill it.
Notices of blocking and deadlocks can go to a webhook (JSON, Slack, Teams)
or by e-mail. Connections go through unixODBC and the FreeTDS driver.")

set(CPACK_DEBIAN_EXPORTER_PACKAGE_NAME tallyvane-exporter)
set(CPACK_DEBIAN_EXPORTER_PACKAGE_DEPENDS "unixodbc, tdsodbc")
set(CPACK_DEBIAN_EXPORTER_DESCRIPTION "Prometheus exporter for blocking in Microsoft SQL Server
tallyvane-exporter watches the servers of a server list for processes that
block each other, without a window, and serves the blocking figures of every
server to Prometheus. The package carries a hardened systemd unit reading
/etc/tallyvane, and alert rules for Prometheus.")
set(CPACK_DEBIAN_EXPORTER_PACKAGE_CONTROL_EXTRA
  ${PROJECT_SOURCE_DIR}/contrib/debian/exporter/conffiles
  ${PROJECT_SOURCE_DIR}/contrib/debian/exporter/postinst
  ${PROJECT_SOURCE_DIR}/contrib/debian/exporter/prerm
  ${PROJECT_SOURCE_DIR}/contrib/debian/exporter/postrm)

include(CPack)
