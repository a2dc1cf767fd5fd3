quorvexia_test(net_test SOURCES net_test.cpp LIBS qplatform korvcore)
