quorvexia_test(net_test SOURCES net_test.cpp LIBS qplatform)
quorvexia_test(helper_command_test SOURCES helper_command_test.cpp LIBS qplatform)
