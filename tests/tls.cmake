# The TLS stream against openssl s_server with a throwaway PKI, and scripted
# peers that are not TLS.
quorvexia_test(tls_stream_test SOURCES tls_stream_test.cpp LIBS qplatform)
