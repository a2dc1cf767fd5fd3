# The POP3 side of korv: unit, in-process and program tests, and a real Dovecot.
quorvexia_test(pop3_test SOURCES pop3_test.cpp pop3_support.cpp pop3_dovecot.cpp LIBS korvcore)
add_dependencies(pop3_test korv)

# A preloaded stand-in for syncfs that fails or kills korv, for the tests of
# the sync before QUIT.
add_library(syncfs_fault MODULE support/syncfs_fault.c)
target_link_libraries(syncfs_fault PRIVATE ${CMAKE_DL_LIBS})
target_compile_definitions(pop3_test PRIVATE SYNCFS_FAULT_PATH="$<TARGET_FILE:syncfs_fault>")
add_dependencies(pop3_test syncfs_fault)
