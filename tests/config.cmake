quorvexia_test(config_test SOURCES config_test.cpp)
quorvexia_test(config_access_test SOURCES config_access_test.cpp)
