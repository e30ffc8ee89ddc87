# --help and --version answer and exit 0 on a machine without a display (before any window
# system is asked for); tdssim and the exporter answer --version too.
# Run as: cmake -DTALLYVANE=... -DTDSSIM=... -DEXPORTER=... -DVERSION=... -P CheckInfoOptions.cmake
function(expect_answer expected)
  execute_process(COMMAND ${CMAKE_COMMAND} -E env --unset=DISPLAY --unset=WAYLAND_DISPLAY
    --unset=QT_QPA_PLATFORM ${ARGN}
    RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 20)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${ARGN}: exit ${result}\n${out}${err}")
  endif()
  if(NOT out MATCHES "${expected}")
    message(FATAL_ERROR "${ARGN}: expected ${expected}, got\n${out}${err}")
  endif()
  if(NOT err STREQUAL "")
    message(FATAL_ERROR "${ARGN}: wrote to standard error:\n${err}")
  endif()
endfunction()
string(REPLACE "." "\\." version "${VERSION}")
expect_answer("^tallyvane ${version}\n$" ${TALLYVANE} --version)
expect_answer("^Usage: tallyvane .*--version.*--help" ${TALLYVANE} --help)
# Wherever the option stands, and before Qt's own options are looked at.
expect_answer("^tallyvane ${version}\n$" ${TALLYVANE} -platform xcb --version)
expect_answer("^Usage: tallyvane " ${TALLYVANE} -h)
expect_answer("^tdssim ${version}\n$" ${TDSSIM} --version)
expect_answer("--version" ${TDSSIM} --help)
expect_answer("^tallyvane-exporter ${version}\n$" ${EXPORTER} --version)
expect_answer("Exit status: .*3 when some are down" ${EXPORTER} --help)
message(STATUS "--help and --version answer without a display")
