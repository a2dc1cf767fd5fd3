# The net layer, helpers, SASL and the TLS stream against openssl s_server
# with a throwaway PKI, and korv in the TLS forms against real servers.
quorvexia_test(tls_test SOURCES tls_test.cpp pop3_dovecot.cpp LIBS qplatform korvcore)
add_dependencies(tls_test korv)
