# SPDX-License-Identifier: GPL-2.0-or-later
# The Debian package (halvex-plugins, or halvex-plugins-static for the static build), which
# installs below /usr whatever prefix the build was configured with, and the source tarball.

set(CPACK_PACKAGE_NAME ${package_name})
set(CPACK_PACKAGE_VENDOR "Halvex plugin authors")
set(CPACK_PACKAGE_CONTACT "Halvex plugin authors <plugins@halvex.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${HALVEX_SUMMARY}")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "${HALVEX_DESCRIPTION}")
if(HALVEX_STATIC)
    string(APPEND CPACK_DEBIAN_PACKAGE_DESCRIPTION "\n${HALVEX_STATIC_DESCRIPTION}")
    set(CPACK_DEBIAN_PACKAGE_CONFLICTS halvex-plugins)
    set(CPACK_DEBIAN_PACKAGE_REPLACES halvex-plugins)
    set(CPACK_DEBIAN_PACKAGE_PROVIDES halvex-plugins)
endif()
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "${HALVEX_URL}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_COMPONENTS_ALL plugins debian)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SOURCE halvex-plugins)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_GENERATOR DEB)

set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_PACKAGE_FILE_NAME halvex-plugins-${PROJECT_VERSION})
set(CPACK_SOURCE_IGNORE_FILES
    "^${PROJECT_SOURCE_DIR}/\\\\.git/" "^${PROJECT_SOURCE_DIR}/build/" "^${PROJECT_SOURCE_DIR}/out/"
    "^${PROJECT_BINARY_DIR}/")
# Read by cpack itself, which runs these settings through cpack_options.cmake.
set(CPACK_HALVEX_SOURCE_DIR "${PROJECT_SOURCE_DIR}")
set(CPACK_HALVEX_RELEASE_EPOCH ${HALVEX_RELEASE_EPOCH})
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/cpack_options.cmake)
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/cpack_post_build.cmake)
include(CPack)
