# Sign-in: its plain parts, the flows against the fake authorization server
# (tests/oauth) with the real loopback listener, and korv using the tokens.
quorvexia_test(signin_test SOURCES signin_test.cpp oauth/fake_auth.cpp pop3_dovecot.cpp LIBS qsignin)
add_dependencies(signin_test korv)
