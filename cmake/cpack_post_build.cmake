# SPDX-License-Identifier: GPL-2.0-or-later
# Run by cpack on each package it has written: takes out what the packager's environment put
# into it, so that the same commit gives the same bytes.

foreach(package IN LISTS CPACK_PACKAGE_FILES)
    if(package MATCHES "\\.deb$")
        # cpack gives the ar members of a .deb the mode its umask left on their files; they
        # become 0644, as dpkg-deb writes them.
        file(SIZE "${package}" size)
        set(mode_file "${package}.mode")
        file(WRITE "${mode_file}" "100644  ")
        set(header 8) # after the "!<arch>\n" magic
        while(header LESS size)
            file(READ "${package}" member_size OFFSET ${header} LIMIT 60)
            string(SUBSTRING "${member_size}" 48 10 member_size)
            string(STRIP "${member_size}" member_size)
            math(EXPR mode_offset "${header} + 40")
            execute_process(COMMAND dd "of=${package}" bs=1 seek=${mode_offset} conv=notrunc
                status=none INPUT_FILE "${mode_file}" COMMAND_ERROR_IS_FATAL ANY)
            math(EXPR header "${header} + 60 + ${member_size} + ${member_size} % 2")
        endwhile()
        file(REMOVE "${mode_file}")
    elseif(CPACK_HALVEX_GIT_ARCHIVE AND package MATCHES "\\.tar\\.gz$")
        # The source tarball of a git checkout: the files of the current commit, in git's
        # order and with the modes and time that git records.
        execute_process(COMMAND git -c tar.umask=0022 -c "tar.tar.gz.command=gzip -9 -n -c"
            archive --format=tar.gz "--prefix=${CPACK_SOURCE_PACKAGE_FILE_NAME}/"
            "--output=${package}" HEAD
            WORKING_DIRECTORY "${CPACK_HALVEX_SOURCE_DIR}" COMMAND_ERROR_IS_FATAL ANY)
    endif()
endforeach()
