# The Debian package built from this tree lists what `cmake --install` puts
# in place, with Depends that cover the libraries the programs need.
find_program(DPKG_DEB_PROGRAM dpkg-deb)
if(DPKG_DEB_PROGRAM)
  add_test(NAME package_deb
    COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/package_test.sh ${CMAKE_BINARY_DIR} ${PROJECT_VERSION}
            $<IF:$<BOOL:${QUORVEXIA_BUILD_SETUP}>,ON,OFF>)
  set_tests_properties(package_deb PROPERTIES LABELS packaging TIMEOUT 300)
endif()
