# Installation rules (cmake --install) and the Debian package (cpack -G DEB
# from the build folder). Under the prefix (/usr for the package):
#   bin/zendral, bin/zendrald (bin/zendral-client: tools/client/CMakeLists.txt,
#   bin/zendralctl: tools/ctl/CMakeLists.txt)
#   lib/zendral/zendral-stub-engine            a private program, not on PATH
#   lib/systemd/system/zendral.service         the headless service
#   share/applications/zendral.desktop
#   share/metainfo/com.orvane.Zendral.metainfo.xml
#   share/icons/hicolor/<size>/apps/zendral.png
#   share/man/man1/zendral.1.gz, zendrald.1.gz, zendral-client.1.gz, zendralctl.1.gz
#   share/doc/zendral/copyright, changelog.Debian.gz
#   /etc/zendral/zendral.conf (<prefix>/etc/zendral for a prefix other than /usr)
# The interface translations are built into zendral; Qt's own come from the
# recommended package qttranslations5-l10n. The client's bash completion is
# installed by tools/client/CMakeLists.txt.
# Included by the top CMakeLists.txt after the targets exist.

set(ZENDRAL_INSTALL_PRIVATEDIR "lib/zendral" CACHE STRING
    "Folder under the prefix for the programs that are not for the PATH")

install(TARGETS zendral zendrald RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS zendral-stub-engine RUNTIME DESTINATION ${ZENDRAL_INSTALL_PRIVATEDIR})

if(NOT UNIX OR APPLE)
    return() # the rest is for Linux desktops and systemd
endif()

set(ZENDRAL_PACKAGING_DIR ${PROJECT_SOURCE_DIR}/packaging)

# The unit names the program by its installed path, so it is written at
# install time, when the prefix is known (/usr for the package, whatever the
# build folder was configured with).
install(CODE "
    set(ZENDRAL_INSTALLED_BINDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
    set(unit \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/lib/systemd/system/zendral.service\")
    message(STATUS \"Installing: \${unit}\")
    configure_file(\"${ZENDRAL_PACKAGING_DIR}/zendral.service.in\" \"\${unit}\" @ONLY)")

install(FILES ${ZENDRAL_PACKAGING_DIR}/zendral.desktop
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/applications)
install(FILES ${ZENDRAL_PACKAGING_DIR}/com.orvane.Zendral.metainfo.xml
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/metainfo)
# The icons are made from resources/images/app.png by packaging/make-icons.sh
# and kept in the source tree (see there why).
foreach(size 16 32 48 64 128 256)
    install(FILES ${ZENDRAL_PACKAGING_DIR}/icons/${size}x${size}/zendral.png
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/icons/hicolor/${size}x${size}/apps)
endforeach()

# Man pages are installed compressed, as Debian does (gzip -9n: no name or
# time stamp in the file); the client's page comes from tools/client.
find_program(ZENDRAL_GZIP gzip)
set(ZENDRAL_MAN_PAGES
    ${ZENDRAL_PACKAGING_DIR}/zendral.1
    ${ZENDRAL_PACKAGING_DIR}/zendrald.1
    ${PROJECT_SOURCE_DIR}/tools/client/zendral-client.1
    ${ZENDRAL_PACKAGING_DIR}/zendralctl.1)
set(ZENDRAL_COMPRESSED)
foreach(page ${ZENDRAL_MAN_PAGES})
    get_filename_component(name ${page} NAME)
    if(ZENDRAL_GZIP)
        set(copy ${CMAKE_BINARY_DIR}/packaging/${name})
        add_custom_command(OUTPUT ${copy}.gz
            COMMAND ${CMAKE_COMMAND} -E copy ${page} ${copy}
            COMMAND ${ZENDRAL_GZIP} -9nf ${copy}
            DEPENDS ${page}
            COMMENT "Compressing the man page ${name}"
            VERBATIM)
        list(APPEND ZENDRAL_COMPRESSED ${copy}.gz)
        install(FILES ${copy}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    else()
        install(FILES ${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    endif()
endforeach()

# The package's documents in /usr/share/doc/zendral: the machine-readable
# copyright file and the Debian changelog (version filled in, compressed).
set(ZENDRAL_PACKAGE_VERSION ${PROJECT_VERSION}-1)
set(changelog ${CMAKE_BINARY_DIR}/packaging/changelog.Debian)
configure_file(${ZENDRAL_PACKAGING_DIR}/debian/changelog ${changelog} @ONLY)
if(ZENDRAL_GZIP)
    add_custom_command(OUTPUT ${changelog}.gz
        COMMAND ${ZENDRAL_GZIP} -9nc ${changelog} > ${changelog}.gz
        DEPENDS ${changelog} ${ZENDRAL_PACKAGING_DIR}/debian/changelog
        COMMENT "Compressing the Debian changelog")
    list(APPEND ZENDRAL_COMPRESSED ${changelog}.gz)
    install(FILES ${changelog}.gz DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/zendral)
endif()
add_custom_target(zendral_man ALL DEPENDS ${ZENDRAL_COMPRESSED})
install(FILES ${ZENDRAL_PACKAGING_DIR}/debian/copyright DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/zendral)
# lintian's overrides, each with its reason.
install(FILES ${ZENDRAL_PACKAGING_DIR}/debian/lintian-overrides
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME zendral)

# The service's settings file, a conffile of the package: /etc/zendral for
# the prefix /usr (the package), <prefix>/etc/zendral for any other prefix,
# so that an install into a folder never writes the machine's /etc.
# (file(INSTALL) puts DESTDIR in front of the folder itself.)
install(CODE "
    if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")
        set(etc \"/etc/zendral\")
    else()
        set(etc \"\${CMAKE_INSTALL_PREFIX}/etc/zendral\")
    endif()
    file(INSTALL \"${ZENDRAL_PACKAGING_DIR}/zendral.conf\" DESTINATION \"\${etc}\"
         PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)")

# The Debian package.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zendral)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR Orvane)
set(ZENDRAL_PACKAGE_MAINTAINER "Orvane Zendral team <zendral@orvane.invalid>" CACHE STRING
    "Maintainer field of the Debian package")
set(CPACK_PACKAGE_CONTACT ${ZENDRAL_PACKAGE_MAINTAINER})
# Staged with DESTDIR, so that the install step sees the real prefix (/usr),
# whatever prefix the build folder was configured with.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES TRUE)
# Debian revision 1: the package is made from the upstream version, not a
# Debian-native one (so its changelog is changelog.Debian.gz).
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Depends: computed from the programs' libraries by dpkg-shlibdeps.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# deb-systemd-helper and deb-systemd-invoke for the maintainer scripts.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "init-system-helpers (>= 1.54~)")
# Qt's own translations, and a CJK font for the Chinese interface texts
# (Qt draws boxes without one).
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qttranslations5-l10n, fonts-noto-cjk")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "nesting job service for cutting rooms
Zendral runs nesting jobs for client programs on the local network. Clients
connect over TCP and submit a marker document with a time budget; Zendral
keeps each job in a folder of its own, keeps the queue across restarts, runs
an external nesting engine on the waiting jobs (one child process per job),
and lets each client follow its jobs and pick up the results.
.
An operator watches and reorders the queue in the main window. On a server
the systemd unit runs it headless: systemctl enable --now zendral.
.
The package contains the service (zendral), the command-line client
(zendral-client), the operator's command line (zendralctl) and a stand-in
nesting engine for trials under /usr/lib/zendral.")
# Maintainer scripts for the systemd unit as debhelper writes them, the
# purge of the state folder, and the conffile list.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${ZENDRAL_PACKAGING_DIR}/debian/postinst
    ${ZENDRAL_PACKAGING_DIR}/debian/prerm
    ${ZENDRAL_PACKAGING_DIR}/debian/postrm
    ${ZENDRAL_PACKAGING_DIR}/debian/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
include(CPack)
