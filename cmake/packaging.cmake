# Manual pages, compressed as Debian installs them, and the Debian package.

set(manual_pages cluster_plugin.1 timeout_tester.1)
set(compressed_pages "")
foreach(page IN LISTS manual_pages)
    set(source ${PROJECT_SOURCE_DIR}/man/${page})
    set(output ${PROJECT_BINARY_DIR}/man/${page}.gz)
    add_custom_command(OUTPUT ${output}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
        COMMAND gzip -9 -n -c ${source} > ${output}
        DEPENDS ${source}
        VERBATIM)
    list(APPEND compressed_pages ${output})
endforeach()
add_custom_target(manual_pages ALL DEPENDS ${compressed_pages})
install(FILES ${compressed_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

set(CPACK_PACKAGE_NAME halvex-plugins)
set(CPACK_PACKAGE_VENDOR "Halvex plugin authors")
set(CPACK_PACKAGE_CONTACT "Halvex plugin authors <plugins@halvex.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "cluster check and time-out tester plugins for Halvex")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "cluster_plugin judges a cluster of services or hosts as a whole from its\n\
members' status codes and two thresholds, and reports OK, WARNING or CRITICAL;\n\
timeout_tester never finishes a check, so that the monitoring host's check\n\
time-outs can be tested.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_GENERATOR DEB)
include(CPack)
