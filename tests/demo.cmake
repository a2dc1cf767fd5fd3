# The README's first command, end to end with the programs of this build: a
# message out through OpenSMTPD and back through Dovecot. Needs root (private
# network, mount and process namespaces); run it alone with `ctest -L demo`.
add_test(NAME demo_round_trip
  COMMAND sh -c "if [ \"$(id -u)\" != 0 ]; then echo 'the demo needs root'; exit 77; fi; exec \"$0\""
          ${PROJECT_SOURCE_DIR}/scripts/demo)
set_tests_properties(demo_round_trip PROPERTIES
  LABELS demo
  TIMEOUT 180
  SKIP_RETURN_CODE 77
  ENVIRONMENT "DEMO_KORV=$<TARGET_FILE:korv>;DEMO_KORVCONF=$<TARGET_FILE:korvconf>")
