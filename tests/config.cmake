quorvexia_test(config_test SOURCES config_test.cpp)
