# Read by CPack once for each generator: the Debian package carries the Debian copyright
# file, changelog and lintian override, the tarball carries the licence as it stands and
# unpacks into a folder of its own.
if(CPACK_GENERATOR STREQUAL "DEB")
    set(CPACK_COMPONENTS_ALL tool debian)
else()
    set(CPACK_COMPONENTS_ALL tool licence)
    set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY ON)
endif()
