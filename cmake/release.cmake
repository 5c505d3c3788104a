# SPDX-License-Identifier: GPL-2.0-or-later
# The release is written down in packaging/changelog and, for RPM, in the RPM build file
# beside it. Both must name the project's version and the same date, which the manual pages
# show and which timestamps the packages. The package summary, description and address are
# read from the RPM build file, so that the Debian package says the same.

set(months Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)

file(STRINGS ${PROJECT_SOURCE_DIR}/packaging/changelog changelog)
list(GET changelog 0 changelog_title)
if(NOT changelog_title MATCHES "^halvex-plugins \\(([^)]+)\\)")
    message(FATAL_ERROR "packaging/changelog does not begin with a release: ${changelog_title}")
endif()
if(NOT CMAKE_MATCH_1 STREQUAL PROJECT_VERSION)
    message(FATAL_ERROR "packaging/changelog records ${CMAKE_MATCH_1}, "
        "the project is ${PROJECT_VERSION}")
endif()
set(trailer_pattern "^ -- .*  [A-Z][a-z][a-z], ([0-9][0-9]) ([A-Z][a-z][a-z]) \
([0-9][0-9][0-9][0-9]) ([0-9][0-9]):([0-9][0-9]):([0-9][0-9]) ([+-])([0-9][0-9])([0-9][0-9])$")
set(release_trailer "")
foreach(line IN LISTS changelog)
    if(line MATCHES "${trailer_pattern}")
        set(release_trailer "${line}")
        break()
    endif()
endforeach()
if(NOT release_trailer)
    message(FATAL_ERROR "packaging/changelog: the first release has no dated trailer line")
endif()
set(release_day ${CMAKE_MATCH_1})
set(release_month_name ${CMAKE_MATCH_2})
set(release_year ${CMAKE_MATCH_3})
list(FIND months "${release_month_name}" month_index)
math(EXPR release_month "${month_index} + 1")
math(EXPR release_seconds "${CMAKE_MATCH_4} * 3600 + ${CMAKE_MATCH_5} * 60 + ${CMAKE_MATCH_6} \
    - (${CMAKE_MATCH_7}1) * (${CMAKE_MATCH_8} * 3600 + ${CMAKE_MATCH_9} * 60)")

# Seconds since 1970 of the release day, counted in years that begin on 1 March so that the
# leap day comes last.
set(shifted_year ${release_year})
if(release_month LESS_EQUAL 2)
    math(EXPR shifted_year "${release_year} - 1")
endif()
math(EXPR shifted_month "(${release_month} + 9) % 12")
math(EXPR days "365 * ${shifted_year} + ${shifted_year} / 4 - ${shifted_year} / 100 \
    + ${shifted_year} / 400 + (153 * ${shifted_month} + 2) / 5 + ${release_day} - 1 - 719468")
math(EXPR HALVEX_RELEASE_EPOCH "${days} * 86400 + ${release_seconds}")
if(release_month LESS 10)
    set(release_month "0${release_month}")
endif()
set(HALVEX_RELEASE_DATE "${release_year}-${release_month}-${release_day}")

set(rpm_file packaging/halvex-plugins.spec)
file(STRINGS ${PROJECT_SOURCE_DIR}/${rpm_file} rpm_lines)
set(section "")
set(HALVEX_DESCRIPTION "")
set(HALVEX_STATIC_DESCRIPTION "")
foreach(line IN LISTS rpm_lines)
    if(line MATCHES "^(Version|Summary|URL): *(.*)$")
        set(rpm_${CMAKE_MATCH_1} "${CMAKE_MATCH_2}")
    elseif(line MATCHES "^%(description|prep|changelog)$")
        set(section ${CMAKE_MATCH_1})
    elseif(section STREQUAL "description")
        if(line STREQUAL "%if %{with static}")
            set(section static_description)
        elseif(line)
            string(APPEND HALVEX_DESCRIPTION "${line}\n")
        endif()
    elseif(section STREQUAL "static_description")
        if(line STREQUAL "%endif")
            set(section description)
        else()
            string(APPEND HALVEX_STATIC_DESCRIPTION "${line}\n")
        endif()
    elseif(section STREQUAL "changelog" AND line MATCHES "^\\* ")
        set(rpm_newest_entry "${line}")
        break()
    endif()
endforeach()
set(rpm_entry "${release_month_name} ${release_day} ${release_year}")
if(NOT rpm_Version STREQUAL PROJECT_VERSION OR NOT rpm_newest_entry MATCHES
        "^\\* [A-Z][a-z][a-z] ${rpm_entry} .* - ${PROJECT_VERSION}-[0-9]+$")
    message(FATAL_ERROR "${rpm_file} records version ${rpm_Version} and "
        "\"${rpm_newest_entry}\" first; packaging/changelog records ${PROJECT_VERSION} "
        "on ${rpm_entry}")
endif()
string(STRIP "${HALVEX_DESCRIPTION}" HALVEX_DESCRIPTION)
string(STRIP "${HALVEX_STATIC_DESCRIPTION}" HALVEX_STATIC_DESCRIPTION)
set(HALVEX_SUMMARY "${rpm_Summary}")
set(HALVEX_URL "${rpm_URL}")
