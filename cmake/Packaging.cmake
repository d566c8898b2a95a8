# What `cmake --install` puts where, and the packages CPack makes from it
# (tools/package.sh runs both):
# - Windows: a ZIP whose folder holds quillet-convert.exe (and quillet-check.exe
#   when the project has that program) with README.md and LICENSE.txt;
# - Linux: a .deb and a .tar.gz with the programs in bin/ and README.md and
#   LICENSE in share/doc/quillet-convert/.
# Only the user's programs are installed: the sample builder, the tests and
# the benchmarks belong to the build.
include(GNUInstallDirs)

set(quillet_programs quillet-convert)
if(TARGET quillet-check)
    list(APPEND quillet_programs quillet-check)
endif()

if(WIN32)
    # Everything at the top of the unpacked folder, where a user looks first.
    install(TARGETS ${quillet_programs} RUNTIME DESTINATION .)
    install(FILES README.md DESTINATION .)
    install(FILES LICENSE DESTINATION . RENAME LICENSE.txt)
else()
    install(TARGETS ${quillet_programs} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    install(FILES README.md LICENSE DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/quillet-convert)
endif()

set(CPACK_PACKAGE_NAME quillet-convert)
set(CPACK_PACKAGE_VENDOR "${QUILLET_VENDOR}")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_CONTACT "${QUILLET_VENDOR}")
set(CPACK_PACKAGE_DESCRIPTION "The program asks for a Quillet list file (.qdx), keeps a backup of it and
converts it one format version down, so that an older release of Quillet can
open it again.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
set(CPACK_PACKAGE_CHECKSUM SHA256)
set(CPACK_STRIP_FILES ON)
if(WIN32)
    set(CPACK_GENERATOR ZIP)
    set(CPACK_SYSTEM_NAME win64)
else()
    set(CPACK_GENERATOR DEB TGZ)
    set(CPACK_SYSTEM_NAME Linux-${CMAKE_SYSTEM_PROCESSOR})
    # The Debian package installs under /usr; the .tar.gz unpacks into its
    # own folder with bin/ and share/ inside.
    set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
    set(CPACK_DEBIAN_PACKAGE_SECTION utils)
    set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${QUILLET_VENDOR}")
    # The libraries the programs link against, as dpkg-shlibdeps finds them.
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()
include(CPack)
