# SPDX-License-Identifier: GPL-2.0-or-later
# Manual pages with the project's version, release date and plugin folder, compressed as
# Debian installs them.

set(manual_pages cluster_plugin.1 timeout_tester.1)
set(compressed_pages "")
foreach(page IN LISTS manual_pages)
    set(page_file ${PROJECT_BINARY_DIR}/man/${page})
    configure_file(${PROJECT_SOURCE_DIR}/man/${page}.in ${page_file} @ONLY)
    debian_gzip(${page_file} ${page_file}.gz)
    list(APPEND compressed_pages ${page_file}.gz)
endforeach()
add_custom_target(manual_pages ALL DEPENDS ${compressed_pages})
install(FILES ${compressed_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
