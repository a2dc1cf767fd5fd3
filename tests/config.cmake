quorvexia_test(config_test SOURCES config_test.cpp oauth/fake_auth.cpp LIBS korvconfcore util qsignin qplatform)
target_compile_definitions(config_test PRIVATE KORVCONF_PATH="$<TARGET_FILE:korvconf>")
add_dependencies(config_test korvconf)
add_test(NAME KorvconfOauthKeyring.RealKeyRing
  COMMAND timeout 200 dbus-run-session -- ${CMAKE_CURRENT_SOURCE_DIR}/oauth/with_keyring.sh
    $<TARGET_FILE:config_test> --gtest_filter=KorvconfOauthKeyring.*)
set_tests_properties(KorvconfOauthKeyring.RealKeyRing PROPERTIES TIMEOUT 300 FAIL_REGULAR_EXPRESSION "SKIPPED")
