quorvexia_test(smtp_program_test SOURCES smtp_program_test.cpp LIBS korvcore)
