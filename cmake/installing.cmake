# SPDX-License-Identifier: GPL-2.0-or-later
# Read at the start of every install, by cmake --install and by cpack alike, with
# install_folders set to the folders that the install writes into.

# PATH below the prefix that this install was given, unless it is absolute already.
function(installed_path path result)
    cmake_path(ABSOLUTE_PATH path BASE_DIRECTORY "${CMAKE_INSTALL_PREFIX}" NORMALIZE)
    string(REGEX REPLACE "(.)/$" "\\1" path "${path}")
    set(${result} "${path}" PARENT_SCOPE)
endfunction()

# Writes SOURCE, configured with the given configure_file mode (@ONLY or COPYONLY), to
# FOLDER/NAME.gz, compressed as Debian ships documents: gzip -9 with no name or time stamp
# inside, so that the result depends on the contents alone.
function(install_gzipped source folder name mode)
    installed_path("${folder}" folder)
    set(file "$ENV{DESTDIR}${folder}/${name}")
    message(STATUS "Installing: ${file}.gz")
    configure_file("${source}" "${file}" ${mode}
        FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
    execute_process(COMMAND gzip -9 -n -f "${file}" COMMAND_ERROR_IS_FATAL ANY)
    set(CMAKE_INSTALL_MANIFEST_FILES ${CMAKE_INSTALL_MANIFEST_FILES} "${folder}/${name}.gz"
        PARENT_SCOPE)
endfunction()

# The folders that the install makes: each destination and its parents that do not exist
# yet. In cpack's staging folder every one of them is the package's own.
set(missing_folders "")
foreach(folder IN LISTS install_folders)
    installed_path("${folder}" folder)
    while(NOT folder STREQUAL "/" AND
            (DEFINED ENV{HALVEX_PACKAGE_STAGING} OR NOT EXISTS "$ENV{DESTDIR}${folder}"))
        list(APPEND missing_folders "${folder}")
        cmake_path(GET folder PARENT_PATH folder)
    endwhile()
endforeach()
list(REMOVE_DUPLICATES missing_folders)
list(SORT missing_folders ORDER DESCENDING) # a folder after everything below it

macro(record_created_folders)
    foreach(folder IN LISTS missing_folders)
        if(IS_DIRECTORY "$ENV{DESTDIR}${folder}")
            file(CHMOD "$ENV{DESTDIR}${folder}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
                GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
            list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${folder}")
        endif()
    endforeach()
endmacro()
