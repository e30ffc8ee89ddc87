# `cmake --install`: the program, its warning sound, its icon and a desktop entry, in the usual
# places below the prefix. The program finds the sound as <prefix>/share/tallyvane/sounds
# beside its bin folder; it keeps its two INI files in ~/.config/Tallyvane when its own folder
# is not writable.
include(GNUInstallDirs)

if(TARGET tallyvane)
  install(TARGETS tallyvane RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

install(FILES ${PROJECT_SOURCE_DIR}/ui/sounds/chord.wav
  DESTINATION ${CMAKE_INSTALL_DATADIR}/tallyvane/sounds)

if(TARGET tallyvane_icons)
  # Building the program draws its icon files too, so that they are there to install.
  if(TARGET tallyvane)
    add_dependencies(tallyvane tallyvane_icons)
  endif()
  foreach(size ${TALLYVANE_ICON_SIZES})
    install(FILES ${TALLYVANE_ICON_DIR}/tallyvane-${size}.png
      DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
      RENAME tallyvane.png)
  endforeach()
endif()

configure_file(${PROJECT_SOURCE_DIR}/cmake/tallyvane.desktop.in
  ${PROJECT_BINARY_DIR}/tallyvane.desktop @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/tallyvane.desktop
  DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)

# Fleet mode, component "fleet": the exporter, its systemd unit (pointing at the installed
# exporter) and the Prometheus alert rules. A machine that only runs the exporter builds that
# target and installs with --component fleet; a desktop install skips the exporter when it was
# not built.
if(TARGET tallyvane-exporter)
  install(TARGETS tallyvane-exporter RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
    COMPONENT fleet OPTIONAL)
  # The unit names the exporter where this install puts it, also under "--prefix".
  install(CODE "
    file(READ \"${PROJECT_SOURCE_DIR}/contrib/systemd/tallyvane-exporter.service\" unit)
    string(REPLACE \"/usr/local/bin/tallyvane-exporter\"
      \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/tallyvane-exporter\" unit \"\${unit}\")
    file(WRITE \"${PROJECT_BINARY_DIR}/tallyvane-exporter.service\" \"\${unit}\")
  " COMPONENT fleet)
  install(FILES ${PROJECT_BINARY_DIR}/tallyvane-exporter.service
    DESTINATION lib/systemd/system COMPONENT fleet)
  install(FILES ${PROJECT_SOURCE_DIR}/contrib/prometheus/tallyvane.rules.yml
    DESTINATION ${CMAKE_INSTALL_DATADIR}/tallyvane/prometheus COMPONENT fleet)
endif()
