# korvcfg: the record conversions, the start-up and file handling with
# scripted answers, and (with the setup program built) its pages.
quorvexia_test(setup_conversion_test SOURCES setup_conversion_test.cpp)
if(TARGET qsetupcore)
  quorvexia_test(setup_startup_test SOURCES setup_startup_test.cpp LIBS qsetupcore)
endif()
