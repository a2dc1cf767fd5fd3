# korv's frame: switches, directory rules, the activity log, FatalError and the
# progress indicator as units; the built korv as a process; the daemon wait on
# a pseudo-terminal.
quorvexia_test(run_control_test SOURCES run_control_test.cpp LIBS korvcore util)
add_dependencies(run_control_test korv)
