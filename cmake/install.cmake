# SPDX-License-Identifier: GPL-2.0-or-later
# Both programs, their manual pages and, for a hand install, the README and the licence. The
# pages name the plugin folder below the prefix that the build was configured with.

if(HALVEX_PLUGIN_DIR)
    set(plugin_dir "${HALVEX_PLUGIN_DIR}")
else()
    set(plugin_dir "${CMAKE_INSTALL_LIBEXECDIR}/halvex/plugins")
endif()
cmake_path(ABSOLUTE_PATH plugin_dir BASE_DIRECTORY "${CMAKE_INSTALL_PREFIX}" NORMALIZE
    OUTPUT_VARIABLE plugin_full_dir)

install(TARGETS cluster_plugin timeout_tester RUNTIME DESTINATION ${plugin_dir})
foreach(program cluster_plugin timeout_tester)
    configure_file(man/${program}.1.in man/${program}.1 @ONLY)
    install(FILES ${PROJECT_BINARY_DIR}/man/${program}.1
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()
if(HALVEX_INSTALL_DOCUMENTS)
    install(FILES README.md COPYING DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/halvex-plugins)
endif()
