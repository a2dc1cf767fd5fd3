# The manual pages render without warnings and document every switch and field.
find_program(MAN_PROGRAM man)
if(MAN_PROGRAM)
  add_test(NAME man_pages_render
    COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/man_pages_test.sh ${PROJECT_SOURCE_DIR}/docs $<TARGET_FILE:korvconf>)
  set_tests_properties(man_pages_render PROPERTIES TIMEOUT 60 LABELS docs)
else()
  message(WARNING "man is missing (scripts/install-deps installs man-db): the manual page test is left out")
endif()
