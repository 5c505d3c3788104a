# SPDX-License-Identifier: GPL-2.0-or-later
# What an install writes, in three components:
# - plugins: both programs, and their manual pages, which name the folder that the programs
#   are installed to below the prefix given at install time;
# - documents: the README and the licence, for a hand install (packages carry their own);
# - debian: the files that only the Debian package carries, installed only when asked for.
# Every folder the install creates is made 0755 whatever the umask, and is listed in the
# install manifest after the files, deepest first, so that the manifest undoes the install.

if(HALVEX_PLUGIN_DIR)
    set(plugin_dir "${HALVEX_PLUGIN_DIR}")
else()
    set(plugin_dir "${CMAKE_INSTALL_LIBEXECDIR}/halvex/plugins")
endif()
set(manual_dir ${CMAKE_INSTALL_MANDIR}/man1)
set(document_dir ${CMAKE_INSTALL_DATADIR}/doc/halvex-plugins)
set(package_document_dir ${CMAKE_INSTALL_DATADIR}/doc/${package_name})
set(lintian_dir ${CMAKE_INSTALL_DATADIR}/lintian/overrides)

install(CODE "
set(install_folders [[${plugin_dir};${manual_dir};${document_dir};${package_document_dir};${lintian_dir}]])
include([[${CMAKE_CURRENT_LIST_DIR}/installing.cmake]])" ALL_COMPONENTS)

install(TARGETS cluster_plugin timeout_tester RUNTIME DESTINATION ${plugin_dir}
    COMPONENT plugins)
# A stripped install (as the packages are made) also drops the toolchain's .comment notes.
install(CODE "
installed_path([[${plugin_dir}]] plugin_full_dir)
set(PROJECT_VERSION [[${PROJECT_VERSION}]])
set(HALVEX_RELEASE_DATE [[${HALVEX_RELEASE_DATE}]])
set(page_templates [[${PROJECT_SOURCE_DIR}/man]])
foreach(program cluster_plugin timeout_tester)
    if(CMAKE_INSTALL_DO_STRIP)
        execute_process(COMMAND [[${CMAKE_OBJCOPY}]] --remove-section=.comment
            \"\$ENV{DESTDIR}\${plugin_full_dir}/\${program}\" COMMAND_ERROR_IS_FATAL ANY)
    endif()
    install_gzipped(\"\${page_templates}/\${program}.1.in\" [[${manual_dir}]] \${program}.1
        @ONLY)
endforeach()" COMPONENT plugins)

install(FILES README.md COPYING DESTINATION ${document_dir} COMPONENT documents)

file(READ ${PROJECT_SOURCE_DIR}/packaging/${package_name}.lintian-overrides overrides)
if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    file(READ ${PROJECT_SOURCE_DIR}/packaging/clang.lintian-overrides clang_overrides)
    string(REGEX REPLACE "^# SPDX[^\n]*\n" "" clang_overrides "${clang_overrides}")
    string(APPEND overrides "${clang_overrides}")
endif()
file(WRITE ${PROJECT_BINARY_DIR}/packaging/lintian-overrides/${package_name} "${overrides}")
install(FILES ${PROJECT_BINARY_DIR}/packaging/lintian-overrides/${package_name}
    DESTINATION ${lintian_dir} COMPONENT debian EXCLUDE_FROM_ALL)
install(FILES packaging/copyright DESTINATION ${package_document_dir}
    COMPONENT debian EXCLUDE_FROM_ALL)
install(CODE "install_gzipped([[${PROJECT_SOURCE_DIR}/packaging/changelog]]
    [[${package_document_dir}]] changelog COPYONLY)" COMPONENT debian EXCLUDE_FROM_ALL)

# cpack installs into a staging folder of its own, and a manifest of that install would only
# overwrite the build folder's record of a real one: it stops before the manifest is written.
install(CODE "
record_created_folders()
if(DEFINED ENV{HALVEX_PACKAGE_STAGING})
    return()
endif()" ALL_COMPONENTS)
