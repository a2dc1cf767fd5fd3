quorvexia_test(config_test SOURCES config_test.cpp)
quorvexia_test(server_forms_test SOURCES server_forms_test.cpp)
quorvexia_test(side_file_test SOURCES side_file_test.cpp)
