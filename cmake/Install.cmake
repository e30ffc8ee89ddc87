# `cmake --install`, in two components:
#   desktop  the program, its warning sound, icons, desktop entry, AppStream metainfo, man page
#   fleet    the exporter, its systemd unit, the Prometheus alert rules, man page
# The program finds the sound as <prefix>/share/tallyvane/sounds beside its bin folder, and
# takes that folder as the sign that it is installed: it then keeps its INI files in
# ~/.config/Tallyvane. With TALLYVANE_PACKAGE_DEB (scripts/package.sh) the layout is Debian's:
# the unit in /lib/systemd/system and an example configuration in /etc/tallyvane.
include(GNUInstallDirs)

option(TALLYVANE_PACKAGE_DEB "Lay out the install for the Debian packages (prefix /usr)" OFF)

string(TIMESTAMP TALLYVANE_RELEASE_DATE "%Y-%m-%d" UTC)
string(TIMESTAMP TALLYVANE_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
string(TIMESTAMP TALLYVANE_COPYRIGHT_YEAR "%Y" UTC)

# Man pages and changelogs are installed compressed, without a name or time in the header, so
# that two builds give the same bytes.
find_program(TALLYVANE_GZIP gzip REQUIRED)
function(tallyvane_gzip source target)
  execute_process(COMMAND ${TALLYVANE_GZIP} -9nc INPUT_FILE ${source} OUTPUT_FILE ${target}
    RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "gzip ${source}: ${result}")
  endif()
endfunction()

set(_doc ${PROJECT_BINARY_DIR}/doc)
file(MAKE_DIRECTORY ${_doc})
foreach(page tallyvane tallyvane-exporter)
  configure_file(${PROJECT_SOURCE_DIR}/contrib/man/${page}.1 ${_doc}/${page}.1 @ONLY)
  tallyvane_gzip(${_doc}/${page}.1 ${_doc}/${page}.1.gz)
  set(PACKAGE ${page})
  configure_file(${PROJECT_SOURCE_DIR}/contrib/debian/changelog.in ${_doc}/${page}.changelog @ONLY)
  tallyvane_gzip(${_doc}/${page}.changelog ${_doc}/${page}.changelog.gz)
endforeach()
configure_file(${PROJECT_SOURCE_DIR}/contrib/debian/copyright.in ${_doc}/copyright @ONLY)
# The README is what the empty window of an installed program points to.
tallyvane_gzip(${PROJECT_SOURCE_DIR}/README.md ${_doc}/README.md.gz)

# --- desktop ---------------------------------------------------------------------------------
if(TARGET tallyvane)
  install(TARGETS tallyvane RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT desktop)
endif()

install(FILES ${PROJECT_SOURCE_DIR}/ui/sounds/chord.wav
  DESTINATION ${CMAKE_INSTALL_DATADIR}/tallyvane/sounds COMPONENT desktop)

if(TARGET tallyvane_icons)
  # Building the program draws its icon files too, so that they are there to install.
  if(TARGET tallyvane)
    add_dependencies(tallyvane tallyvane_icons)
  endif()
  foreach(size ${TALLYVANE_ICON_SIZES})
    install(FILES ${TALLYVANE_ICON_DIR}/tallyvane-${size}.png
      DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
      RENAME tallyvane.png COMPONENT desktop)
  endforeach()
endif()

configure_file(${PROJECT_SOURCE_DIR}/cmake/tallyvane.desktop.in
  ${PROJECT_BINARY_DIR}/tallyvane.desktop @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/tallyvane.desktop
  DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT desktop)
configure_file(${PROJECT_SOURCE_DIR}/cmake/tallyvane.metainfo.xml.in
  ${PROJECT_BINARY_DIR}/tallyvane.metainfo.xml @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/tallyvane.metainfo.xml
  DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo COMPONENT desktop)
install(FILES ${_doc}/tallyvane.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT desktop)
install(FILES ${_doc}/README.md.gz DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/tallyvane
  COMPONENT desktop)

# --- fleet -----------------------------------------------------------------------------------
# A machine that only runs the exporter builds that target and installs with --component fleet.
# The unit and the rules come only with an exporter that was built, so that an install of the
# whole build after `--target tallyvane` leaves no unit pointing at a missing program.
if(TARGET tallyvane-exporter)
  if(TALLYVANE_PACKAGE_DEB)
    set(_unit_dir /lib/systemd/system)
  else()
    set(_unit_dir lib/systemd/system)
  endif()
  install(TARGETS tallyvane-exporter RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
    COMPONENT fleet OPTIONAL)
  # The unit names the exporter where this install puts it, also under "--prefix".
  set(_fleet ${PROJECT_BINARY_DIR}/fleet-install)
  install(CODE "
    file(REMOVE_RECURSE \"${_fleet}\")
    if(EXISTS \"$<TARGET_FILE:tallyvane-exporter>\")
      file(READ \"${PROJECT_SOURCE_DIR}/contrib/systemd/tallyvane-exporter.service\" unit)
      string(REPLACE \"/usr/local/bin/tallyvane-exporter\"
        \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/tallyvane-exporter\" unit \"\${unit}\")
      file(WRITE \"${_fleet}/tallyvane-exporter.service\" \"\${unit}\")
      file(COPY \"${PROJECT_SOURCE_DIR}/contrib/prometheus/tallyvane.rules.yml\"
        DESTINATION \"${_fleet}\")
    endif()
  " COMPONENT fleet)
  install(FILES ${_fleet}/tallyvane-exporter.service
    DESTINATION ${_unit_dir} COMPONENT fleet OPTIONAL)
  install(FILES ${_fleet}/tallyvane.rules.yml
    DESTINATION ${CMAKE_INSTALL_DATADIR}/tallyvane/prometheus COMPONENT fleet OPTIONAL)
  install(FILES ${_doc}/tallyvane-exporter.1.gz
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT fleet)
endif()

if(TALLYVANE_PACKAGE_DEB)
  include(${CMAKE_CURRENT_LIST_DIR}/Package.cmake)
endif()
