# The systemd user units that run korv from a timer.
find_program(SYSTEMD_ANALYZE_PROGRAM systemd-analyze)
if(SYSTEMD_ANALYZE_PROGRAM)
  add_test(NAME systemd_units
    COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/systemd_units_test.sh ${CMAKE_BINARY_DIR} $<TARGET_FILE:korv>)
  set_tests_properties(systemd_units PROPERTIES LABELS packaging TIMEOUT 120)
else()
  message(WARNING "systemd-analyze is missing (scripts/install-deps installs systemd): the unit test is left out")
endif()
