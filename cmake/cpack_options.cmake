# SPDX-License-Identifier: GPL-2.0-or-later
# Read by cpack for each generator: the source tarball holds the tree as it stands, not
# below the packages' /usr prefix.
if(CPACK_GENERATOR STREQUAL "TGZ")
    set(CPACK_PACKAGING_INSTALL_PREFIX "")
endif()
