# Sign-in: its plain parts, and the flows against the fake authorization
# server (tests/oauth) with the real loopback listener.
quorvexia_test(signin_test SOURCES signin_test.cpp LIBS qsignin)
quorvexia_test(signin_server_test SOURCES signin_server_test.cpp oauth/fake_auth.cpp LIBS qsignin)
quorvexia_test(korv_oauth_test SOURCES korv_oauth_test.cpp oauth/fake_auth.cpp pop3_dovecot.cpp LIBS qsignin)
add_dependencies(korv_oauth_test korv)
