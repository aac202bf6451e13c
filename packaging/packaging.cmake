# The installed files of a POSIX system and the two packages that CPack makes of them: a
# Debian package and a tarball, the download that runs on any Linux of its processor.

set(M4AFIX_MAINTAINER "m4afix developers <m4afix@example.org>"
    CACHE STRING "The maintainer named in the Debian package and its changelog")

include(GNUInstallDirs)
set(packaging_dir ${CMAKE_CURRENT_BINARY_DIR}/packaging)
set(doc_dir ${CMAKE_INSTALL_DATADIR}/doc/m4afix)

# The Debian copyright file is the licence in its machine-readable form.
include(cmake/copyright.cmake)
string(REGEX REPLACE "^.*\n\n(Permission)" "\\1" licence_text "${licence}")
string(STRIP "${licence_text}" licence_text)
string(REPLACE "\n\n" "\n.\n" licence_text "${licence_text}")
string(REPLACE "\n" "\n " licence_text " ${licence_text}")
set(M4AFIX_LICENCE_TEXT "${licence_text}")
configure_file(packaging/copyright.in ${packaging_dir}/copyright @ONLY)
configure_file(packaging/changelog.in ${packaging_dir}/changelog @ONLY)

# Manual page and changelog are installed compressed, without name or time stamp, so that
# the same sources give the same packages.
find_program(M4AFIX_GZIP gzip REQUIRED)
function(m4afix_compress source copy)
    add_custom_command(OUTPUT ${copy}.gz
                       COMMAND ${CMAKE_COMMAND} -E copy ${source} ${copy}
                       COMMAND ${M4AFIX_GZIP} -9nf ${copy}
                       DEPENDS ${source} VERBATIM)
endfunction()
m4afix_compress(${M4AFIX_MANUAL_PAGE} ${packaging_dir}/m4afix.1)
m4afix_compress(${packaging_dir}/changelog ${packaging_dir}/debian/changelog)
add_custom_target(m4afix_compressed_docs ALL
                  DEPENDS ${packaging_dir}/m4afix.1.gz ${packaging_dir}/debian/changelog.gz)

install(TARGETS m4afix RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tool)
install(FILES ${packaging_dir}/m4afix.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
        COMPONENT tool)
install(FILES README.md DESTINATION ${doc_dir} COMPONENT tool)
install(FILES packaging/m4afix.bash-completion
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME m4afix
        COMPONENT tool)
# zsh's completion where zsh looks: Debian's folder for packages in the Debian package,
# the folder for local additions under any other prefix.
install(FILES packaging/m4afix.zsh-completion
        DESTINATION ${CMAKE_INSTALL_DATADIR}/zsh/site-functions RENAME _m4afix COMPONENT zsh)
install(FILES packaging/m4afix.zsh-completion
        DESTINATION ${CMAKE_INSTALL_DATADIR}/zsh/vendor-completions RENAME _m4afix
        COMPONENT debian EXCLUDE_FROM_ALL)
install(FILES LICENSE DESTINATION ${doc_dir} COMPONENT licence)
# The web page where the web preset has made it: the packages are not made without it
# (packaging/cpack_common.cmake), a plain install goes without it and makes no empty folder.
install(CODE "if(EXISTS \"${M4AFIX_WEB_PAGE}\")
    file(INSTALL DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DATADIR}/m4afix\"
         TYPE FILE FILES \"${M4AFIX_WEB_PAGE}\")
endif()" COMPONENT tool)
install(FILES ${packaging_dir}/copyright ${packaging_dir}/debian/changelog.gz
        DESTINATION ${doc_dir} COMPONENT debian EXCLUDE_FROM_ALL)
# The desktop's menu opens the installed page in the default browser.
install(FILES packaging/m4afix.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications
        COMPONENT debian EXCLUDE_FROM_ALL)
if(M4AFIX_STATIC)
    install(FILES packaging/lintian-overrides
            DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME m4afix
            COMPONENT debian EXCLUDE_FROM_ALL)
endif()

set(CPACK_GENERATOR "DEB;TGZ")
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_SOURCE_DIR}/packaging/cpack_components.cmake)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_PACKAGE_CONTACT "${M4AFIX_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION
    "m4afix turns audio recordings held as MP4 or 3GP files (one AAC track,
as voice recorders and phones make them) into M4A files that players and
music libraries accept. It rewrites the file-type box and the declared
bit rate in place; the audio and every other byte stay as they are.

By default it writes a converted copy beside each file, which appears
whole or not at all; with -w it edits the file itself and renames it.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# A cross build's toolchain file names the target's Debian architecture, which the tarball's
# name carries too; a native build's packages are for the build machine's.
if(M4AFIX_DEBIAN_ARCHITECTURE)
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${M4AFIX_DEBIAN_ARCHITECTURE})
    set(CPACK_SYSTEM_NAME Linux-${M4AFIX_DEBIAN_ARCHITECTURE})
endif()
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The desktop entry starts the browser with sensible-browser.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS sensible-utils)
# A static tool depends on no shared library; a dynamic one gets its dependencies worked
# out (which needs dpkg-dev and file).
if(NOT M4AFIX_STATIC)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
