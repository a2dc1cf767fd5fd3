# korv /send against real SMTP servers started by the test in private
# namespaces (needs root): OpenSMTPD refusing a malformed message, Dovecot's
# submission service asking for authentication, the same service over
# STARTTLS with AUTH taking the queue pipelined, and Exim checking that every
# reply of several lines is waited for. Exim's packages are downloaded once
# and kept unpacked in the build directory.
foreach(server opensmtpd submission submission_tls exim)
  add_test(NAME smtp_server_${server}
    COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/smtp_servers_test.sh ${server}
            $<TARGET_FILE:korv> $<TARGET_FILE:korvconf> ${CMAKE_BINARY_DIR}/exim-packages)
  set_tests_properties(smtp_server_${server} PROPERTIES
    LABELS interop
    TIMEOUT 300
    SKIP_RETURN_CODE 77)
endforeach()
