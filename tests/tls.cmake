# The TLS stream against openssl s_server with a throwaway PKI, and scripted
# peers that are not TLS.
quorvexia_test(tls_stream_test SOURCES tls_stream_test.cpp pop3_dovecot.cpp LIBS qplatform)

if(TARGET qsetupui)
  find_package(Qt6 REQUIRED COMPONENTS Test)
  quorvexia_test(setup_mail_servers_test SOURCES setup_mail_servers_test.cpp setup_lsan_suppressions.cpp
    LIBS qsetupui Qt6::Test)
endif()
quorvexia_test(sasl_test SOURCES sasl_test.cpp LIBS korvcore)
quorvexia_test(tls_program_test SOURCES tls_program_test.cpp pop3_dovecot.cpp)
add_dependencies(tls_program_test korv)
