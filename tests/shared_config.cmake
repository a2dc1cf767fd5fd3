# korv, korvconf and korvcfg on one korv.cfg, as real processes.
quorvexia_test(shared_config_test SOURCES shared_config_test.cpp pop3_support.cpp)
target_compile_definitions(shared_config_test PRIVATE KORVCONF_PATH="$<TARGET_FILE:korvconf>")
add_dependencies(shared_config_test korv korvconf)
