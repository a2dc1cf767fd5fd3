# The TLS stream against openssl s_server with a throwaway PKI, and scripted
# peers that are not TLS.
quorvexia_test(tls_stream_test SOURCES tls_stream_test.cpp pop3_dovecot.cpp LIBS qplatform)

quorvexia_test(sasl_test SOURCES sasl_test.cpp LIBS korvcore)
quorvexia_test(tls_program_test SOURCES tls_program_test.cpp pop3_dovecot.cpp)
add_dependencies(tls_program_test korv)
