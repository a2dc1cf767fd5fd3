quorvexia_test(smtp_program_test SOURCES smtp_program_test.cpp LIBS korvcore)
quorvexia_test(smtp_interop_test SOURCES smtp_interop_test.cpp LIBS korvcore)
