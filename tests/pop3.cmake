quorvexia_test(pop3_parse_test SOURCES pop3_parse_test.cpp LIBS korvcore)
quorvexia_test(pop3_session_test SOURCES pop3_session_test.cpp pop3_support.cpp)
add_dependencies(pop3_session_test korv)
quorvexia_test(pop3_interop_test SOURCES pop3_interop_test.cpp pop3_dovecot.cpp)
add_dependencies(pop3_interop_test korv)

# A preloaded stand-in for syncfs that fails or kills korv, for the tests of
# the sync before QUIT.
add_library(syncfs_fault MODULE support/syncfs_fault.c)
target_link_libraries(syncfs_fault PRIVATE ${CMAKE_DL_LIBS})
target_compile_definitions(pop3_interop_test PRIVATE SYNCFS_FAULT_PATH="$<TARGET_FILE:syncfs_fault>")
add_dependencies(pop3_interop_test syncfs_fault)
quorvexia_test(pop3_pipelining_test SOURCES pop3_pipelining_test.cpp pop3_support.cpp LIBS korvcore)
