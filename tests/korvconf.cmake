quorvexia_test(korvconf_test SOURCES korvconf_test.cpp LIBS korvconfcore util)
target_compile_definitions(korvconf_test PRIVATE KORVCONF_PATH="$<TARGET_FILE:korvconf>")
add_dependencies(korvconf_test korvconf)
