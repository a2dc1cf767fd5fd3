quorvexia_test(header_text_test SOURCES header_text_test.cpp LIBS korvcore)
