# SPDX-License-Identifier: GPL-2.0-or-later
# Compresses SOURCE into OUTPUT at build time as Debian ships documentation: gzip -9, with no
# file name or time stamp inside, so that the result depends on the contents alone.
function(debian_gzip source output)
    cmake_path(GET output PARENT_PATH output_dir)
    file(MAKE_DIRECTORY ${output_dir})
    add_custom_command(OUTPUT ${output}
        COMMAND gzip -9 -n -c ${source} > ${output}
        DEPENDS ${source}
        VERBATIM)
endfunction()
