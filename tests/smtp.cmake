quorvexia_test(smtp_test SOURCES smtp_test.cpp LIBS korvcore)
add_dependencies(smtp_test korv)
