# Dial-up: the test provider (built twice: complete, and without the dial and
# hang-up entry points), korv's program tests with it, and the NetworkManager
# provider against a fake nmcli.
function(quorvexia_fake_rasapi target dir)
  add_library(${target} SHARED ${CMAKE_CURRENT_SOURCE_DIR}/fake_rasapi/fake_rasapi.cpp)
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR})
  set_target_properties(${target} PROPERTIES
    OUTPUT_NAME rasapi32
    LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests/${dir})
endfunction()
quorvexia_fake_rasapi(fake_rasapi fake_rasapi)
quorvexia_fake_rasapi(fake_rasapi_partial fake_rasapi_partial)
target_compile_definitions(fake_rasapi_partial PRIVATE FAKE_RAS_PARTIAL)

quorvexia_test(dialup_program_test SOURCES dialup_program_test.cpp)
target_compile_definitions(dialup_program_test PRIVATE
  FAKE_RASAPI_PATH="$<TARGET_FILE:fake_rasapi>"
  FAKE_RASAPI_PARTIAL_PATH="$<TARGET_FILE:fake_rasapi_partial>")
add_dependencies(dialup_program_test korv fake_rasapi fake_rasapi_partial)

quorvexia_test(nm_provider_test SOURCES nm_provider_test.cpp LIBS ${CMAKE_DL_LIBS})
target_compile_definitions(nm_provider_test PRIVATE NM_RASAPI_PATH="$<TARGET_FILE:rasapi32_nm>")
add_dependencies(nm_provider_test rasapi32_nm)
