# The Debian package built from this tree lists what `cmake --install` puts
# in place, with Depends that cover the libraries the programs need.
find_program(DPKG_DEB_PROGRAM dpkg-deb)
if(DPKG_DEB_PROGRAM)
  add_test(NAME package_deb
    COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/package_test.sh ${CMAKE_BINARY_DIR} ${PROJECT_VERSION}
            $<IF:$<BOOL:${QUORVEXIA_BUILD_SETUP}>,ON,OFF>)
  set_tests_properties(package_deb PROPERTIES LABELS packaging TIMEOUT 300)
endif()

# The package installed into a clean Debian 12 root, used there and removed
# (root only; the root is made once per machine: `ctest -L install`).
add_test(NAME package_install
  COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/package_install_test.sh ${CMAKE_BINARY_DIR}
          $<IF:$<BOOL:${QUORVEXIA_BUILD_SETUP}>,ON,OFF> ${CMAKE_CURRENT_SOURCE_DIR}/smtp_sink.py)
set_tests_properties(package_install PROPERTIES LABELS "packaging;install" TIMEOUT 900 SKIP_RETURN_CODE 77)
