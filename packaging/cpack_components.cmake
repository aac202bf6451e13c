include(${CMAKE_CURRENT_LIST_DIR}/cpack_common.cmake)

# Read by CPack once for each generator: the Debian package carries the Debian copyright
# file, changelog and lintian override, the tarball carries the licence as it stands and
# unpacks into a folder of its own. The tarball is made from one install of everything
# but the Debian files, not component by component, so that it lists each folder once.
if(CPACK_GENERATOR STREQUAL "DEB")
    set(CPACK_COMPONENTS_ALL tool debian)
else()
    set(CPACK_ARCHIVE_COMPONENT_INSTALL OFF)
    set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
endif()
