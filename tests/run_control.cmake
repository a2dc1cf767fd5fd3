# korv's frame: switches, directory rules, the activity log, FatalError and the
# progress indicator as units; the built korv as a process; the daemon wait on
# a pseudo-terminal.
quorvexia_test(run_control_test SOURCES run_control_test.cpp LIBS korvcore)
quorvexia_test(activity_log_test SOURCES activity_log_test.cpp LIBS korvcore)
quorvexia_test(korv_program_test SOURCES korv_program_test.cpp)
add_dependencies(korv_program_test korv)
quorvexia_test(daemon_wait_test SOURCES daemon_wait_test.cpp LIBS util)
add_dependencies(daemon_wait_test korv)
