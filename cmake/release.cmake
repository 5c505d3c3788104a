# SPDX-License-Identifier: GPL-2.0-or-later
# The release recorded at the top of the changelog: its version must be the project's, and
# its date is the release date that the manual pages show.

file(STRINGS ${PROJECT_SOURCE_DIR}/packaging/changelog changelog)
list(GET changelog 0 changelog_title)
if(NOT changelog_title MATCHES "^halvex-plugins \\(([^)]+)\\)")
    message(FATAL_ERROR "packaging/changelog does not begin with a release: ${changelog_title}")
endif()
if(NOT CMAKE_MATCH_1 STREQUAL PROJECT_VERSION)
    message(FATAL_ERROR "packaging/changelog records ${CMAKE_MATCH_1}, "
        "the project is ${PROJECT_VERSION}")
endif()

set(release_trailer "")
foreach(line IN LISTS changelog)
    if(line MATCHES "^ -- .*  [A-Z][a-z][a-z], ([0-9][0-9]) ([A-Z][a-z][a-z]) ([0-9][0-9][0-9][0-9]) ")
        set(release_trailer "${line}")
        break()
    endif()
endforeach()
if(NOT release_trailer)
    message(FATAL_ERROR "packaging/changelog: the first release has no dated trailer line")
endif()
set(months Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
list(FIND months "${CMAKE_MATCH_2}" month_index)
math(EXPR month "${month_index} + 1")
if(month LESS 10)
    set(month "0${month}")
endif()
set(HALVEX_RELEASE_DATE "${CMAKE_MATCH_3}-${month}-${CMAKE_MATCH_1}")
