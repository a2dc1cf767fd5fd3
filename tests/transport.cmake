quorvexia_test(transport_test SOURCES transport_test.cpp LIBS korvcore)
