# SPDX-License-Identifier: GPL-2.0-or-later
# The Debian package (halvex-plugins, or halvex-plugins-static for the static build) with its
# copyright, changelog and lintian overrides, and the source tarball.

if(HALVEX_STATIC)
    set(package_name halvex-plugins-static)
else()
    set(package_name halvex-plugins)
endif()
set(package_doc_dir ${CMAKE_INSTALL_DATADIR}/doc/${package_name})

set(compressed_changelog ${PROJECT_BINARY_DIR}/packaging/changelog.gz)
debian_gzip(${PROJECT_SOURCE_DIR}/packaging/changelog ${compressed_changelog})
add_custom_target(compressed_changelog ALL DEPENDS ${compressed_changelog})
install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright ${compressed_changelog}
    DESTINATION ${package_doc_dir})
file(READ ${PROJECT_SOURCE_DIR}/packaging/${package_name}.lintian-overrides overrides)
if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    file(READ ${PROJECT_SOURCE_DIR}/packaging/clang.lintian-overrides clang_overrides)
    string(REGEX REPLACE "^# SPDX[^\n]*\n" "" clang_overrides "${clang_overrides}")
    string(APPEND overrides "${clang_overrides}")
endif()
file(WRITE ${PROJECT_BINARY_DIR}/packaging/lintian-overrides/${package_name} "${overrides}")
install(FILES ${PROJECT_BINARY_DIR}/packaging/lintian-overrides/${package_name}
    DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides)

# A stripped install (as the package is made) also drops the toolchain's .comment notes. The
# plugin folder is resolved at install time, against the prefix that the install is given.
install(CODE "
if(CMAKE_INSTALL_DO_STRIP)
    set(installed_plugin_dir \"${plugin_dir}\")
    cmake_path(ABSOLUTE_PATH installed_plugin_dir BASE_DIRECTORY \"\${CMAKE_INSTALL_PREFIX}\")
    foreach(program cluster_plugin timeout_tester)
        execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --remove-section=.comment
            \"\$ENV{DESTDIR}\${installed_plugin_dir}/\${program}\" COMMAND_ERROR_IS_FATAL ANY)
    endforeach()
endif()")

set(CPACK_PACKAGE_NAME ${package_name})
set(CPACK_PACKAGE_VENDOR "Halvex plugin authors")
set(CPACK_PACKAGE_CONTACT "Halvex plugin authors <plugins@halvex.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "cluster check and time-out tester plugins for Halvex")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "cluster_plugin judges a cluster of services or hosts as a whole from its\n\
members' status codes and two thresholds, and reports OK, WARNING or CRITICAL;\n\
timeout_tester never finishes a check, so that the monitoring host's check\n\
time-outs can be tested.")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SOURCE halvex-plugins)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
if(HALVEX_STATIC)
    set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "${CPACK_DEBIAN_PACKAGE_DESCRIPTION}\n\
This build is statically linked: it starts faster and needs no library at\n\
all, but takes security updates of the C library only when rebuilt.")
    set(CPACK_DEBIAN_PACKAGE_CONFLICTS halvex-plugins)
    set(CPACK_DEBIAN_PACKAGE_REPLACES halvex-plugins)
    set(CPACK_DEBIAN_PACKAGE_PROVIDES halvex-plugins)
endif()
set(CPACK_GENERATOR DEB)

set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_PACKAGE_FILE_NAME halvex-plugins-${PROJECT_VERSION})
set(CPACK_SOURCE_IGNORE_FILES
    "^${PROJECT_SOURCE_DIR}/\\\\.git/" "^${PROJECT_SOURCE_DIR}/build/" "^${PROJECT_SOURCE_DIR}/out/")
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/cpack_options.cmake)
include(CPack)
