# korvcfg: the record conversions, the start-up and file handling with
# scripted answers, and its pages over the test dial-up provider.
if(TARGET qsetupui)
  find_package(Qt6 REQUIRED COMPONENTS Test)
  quorvexia_test(setup_test SOURCES setup_test.cpp setup_lsan_suppressions.cpp LIBS qsetupui Qt6::Test)
  target_compile_definitions(setup_test PRIVATE KORVCFG_PATH="$<TARGET_FILE:korvcfg>"
    FAKE_RASAPI_DIR="$<TARGET_FILE_DIR:fake_rasapi>")
  add_dependencies(setup_test korvcfg fake_rasapi)
  # Sign-in under a real X server, where the browser is opened by xdg-open.
  add_executable(setup_signin_test setup_signin_test.cpp oauth/fake_auth.cpp setup_lsan_suppressions.cpp)
  target_link_libraries(setup_signin_test PRIVATE qtestsupport GTest::gtest_main qsetupui Qt6::Test)
  add_test(NAME SetupSignIn COMMAND timeout 200 xvfb-run -a $<TARGET_FILE:setup_signin_test>)
  set_tests_properties(SetupSignIn PROPERTIES TIMEOUT 300 ENVIRONMENT "QT_QPA_PLATFORM=xcb")
  # The opening size once more at 144 dpi: scaled as the toolkit scales by
  # default, and with scaling off, where only the fonts grow.
  foreach(variant "Scaled;1" "LargeFonts;0")
    list(GET variant 0 name)
    list(GET variant 1 scaling)
    add_test(NAME SetupSheetAt144Dpi.${name}
             COMMAND setup_test --gtest_filter=ScreenFixture.SheetOpensShowingEveryTabAndEveryControl)
    set_tests_properties(SetupSheetAt144Dpi.${name} PROPERTIES TIMEOUT 300
                         ENVIRONMENT "QUORVEXIA_TEST_DPI=144;QT_ENABLE_HIGHDPI_SCALING=${scaling}")
  endforeach()
endif()
