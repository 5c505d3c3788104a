# SPDX-License-Identifier: GPL-2.0-or-later
# Read by cpack for each generator, so that a package depends on the commit alone.

# Timestamps are SOURCE_DATE_EPOCH, or the release date in packaging/changelog when that is
# not set, as Debian's own tools take it.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
    set(ENV{SOURCE_DATE_EPOCH} ${CPACK_HALVEX_RELEASE_EPOCH})
endif()
# Tells the install that it runs in cpack's staging folder (see install.cmake).
set(ENV{HALVEX_PACKAGE_STAGING} 1)

if(CPACK_GENERATOR STREQUAL "TGZ") # the source tarball
    set(CPACK_PACKAGING_INSTALL_PREFIX "")
    # In a git checkout, cpack_post_build.cmake writes it with git from the current commit, so
    # cpack itself need not copy the tree; elsewhere it holds the tree without its build
    # folders.
    execute_process(COMMAND git rev-parse --show-prefix
        WORKING_DIRECTORY ${CPACK_HALVEX_SOURCE_DIR}
        RESULT_VARIABLE not_in_git OUTPUT_VARIABLE prefix_in_git ERROR_QUIET)
    if(NOT not_in_git AND prefix_in_git STREQUAL "\n")
        set(CPACK_HALVEX_GIT_ARCHIVE ON)
        set(nothing ${CPACK_PACKAGE_DIRECTORY}/_CPack_Packages/nothing)
        file(MAKE_DIRECTORY ${nothing})
        set(CPACK_INSTALLED_DIRECTORIES "${nothing};/")
    endif()
endif()
