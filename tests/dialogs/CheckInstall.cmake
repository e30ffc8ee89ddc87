# Installs the desktop component into a fresh prefix and checks what a desktop needs: the
# program with its version record, the sound where the program looks for it, the icons, the
# desktop entry, the AppStream metainfo and the man page; and nothing of the exporter.
# Run as: cmake -DBUILD_DIR=<build> -DPREFIX=<empty folder> -P CheckInstall.cmake
file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${PREFIX}
  --component desktop RESULT_VARIABLE result OUTPUT_QUIET)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${result}")
endif()
foreach(file bin/tallyvane share/tallyvane/sounds/chord.wav
    share/icons/hicolor/48x48/apps/tallyvane.png share/icons/hicolor/256x256/apps/tallyvane.png
    share/applications/tallyvane.desktop share/metainfo/tallyvane.metainfo.xml
    share/man/man1/tallyvane.1.gz)
  if(NOT EXISTS ${PREFIX}/${file})
    message(FATAL_ERROR "not installed: ${file}")
  endif()
endforeach()
# The sound is found from the program's folder as ../share/tallyvane/sounds.
if(NOT EXISTS ${PREFIX}/bin/../share/tallyvane/sounds/chord.wav)
  message(FATAL_ERROR "the sound is not where the program looks for it")
endif()
file(STRINGS ${PREFIX}/bin/tallyvane record REGEX "TallyvaneVerInfo")
if(NOT record)
  message(FATAL_ERROR "the installed program carries no version record")
endif()
file(READ ${PREFIX}/share/applications/tallyvane.desktop entry)
foreach(line "[Desktop Entry]" "Type=Application" "Name=Tallyvane" "Exec=tallyvane"
    "Icon=tallyvane" "Categories=")
  string(FIND "${entry}" "${line}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "desktop entry lacks ${line}")
  endif()
endforeach()
file(READ ${PREFIX}/share/icons/hicolor/48x48/apps/tallyvane.png png LIMIT 8 HEX)
if(NOT png STREQUAL "89504e470d0a1a0a")
  message(FATAL_ERROR "the icon is not a PNG file")
endif()
file(GLOB_RECURSE fleet RELATIVE ${PREFIX} ${PREFIX}/*exporter* ${PREFIX}/*systemd*
  ${PREFIX}/*prometheus*)
if(fleet)
  message(FATAL_ERROR "the desktop install holds fleet files: ${fleet}")
endif()
message(STATUS "install layout under ${PREFIX} is complete")
