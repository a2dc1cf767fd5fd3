# Dial-up: the test provider (built twice: complete, and without the dial and
# hang-up entry points), and korv's program tests with it and with the
# NetworkManager provider over a fake nmcli.
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

quorvexia_test(dialup_test SOURCES dialup_test.cpp)
target_compile_definitions(dialup_test PRIVATE NM_RASAPI_PATH="$<TARGET_FILE:rasapi32_nm>"
  FAKE_RASAPI_PATH="$<TARGET_FILE:fake_rasapi>" FAKE_RASAPI_PARTIAL_PATH="$<TARGET_FILE:fake_rasapi_partial>")
add_dependencies(dialup_test korv rasapi32_nm fake_rasapi fake_rasapi_partial)

# The provider against a real NetworkManager with its own D-Bus system bus in
# private namespaces (root only; `ctest -L networkmanager` runs it alone),
# driven through korv and, with the setup program built, korvcfg's Connection
# page.
if(TARGET qsetupui)
  find_package(Qt6 REQUIRED COMPONENTS Test)
  add_executable(nm_connection_page_check nm_connection_page_check.cpp setup_lsan_suppressions.cpp)
  target_link_libraries(nm_connection_page_check PRIVATE qtestsupport qsetupui Qt6::Test GTest::gtest_main)
  set(nm_page_check $<TARGET_FILE:nm_connection_page_check>)
else()
  set(nm_page_check "")
endif()
add_test(NAME networkmanager_dialup
  COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/nm_real_test.sh $<TARGET_FILE:korv> $<TARGET_FILE:korvconf>
          $<TARGET_FILE:rasapi32_nm> ${CMAKE_CURRENT_SOURCE_DIR}/smtp_sink.py "${nm_page_check}")
set_tests_properties(networkmanager_dialup PROPERTIES LABELS networkmanager TIMEOUT 240 SKIP_RETURN_CODE 77)
