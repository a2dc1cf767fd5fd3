quorvexia_test(pop3_parse_test SOURCES pop3_parse_test.cpp LIBS korvcore)
quorvexia_test(pop3_session_test SOURCES pop3_session_test.cpp pop3_support.cpp)
add_dependencies(pop3_session_test korv)
