# Installation rules (cmake --install) and the Debian package (cpack -G DEB
# from the build folder). Under the prefix (/usr for the package):
#   bin/zendral, bin/zendrald (bin/zendral-client: tools/client/CMakeLists.txt)
#   lib/zendral/zendral-stub-engine            a private program, not on PATH
#   lib/systemd/system/zendral.service         the headless service
#   share/applications/zendral.desktop
#   share/metainfo/com.orvane.Zendral.metainfo.xml
#   share/icons/hicolor/<size>/apps/zendral.png
#   share/man/man1/zendral.1.gz
# The interface translations are built into zendral; Qt's own come from the
# recommended package qttranslations5-l10n. The client's bash completion and
# man page are installed by tools/client/CMakeLists.txt.
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
# time stamp in the file).
find_program(ZENDRAL_GZIP gzip)
if(ZENDRAL_GZIP)
    set(man ${CMAKE_BINARY_DIR}/packaging/zendral.1)
    add_custom_command(OUTPUT ${man}.gz
        COMMAND ${CMAKE_COMMAND} -E copy ${ZENDRAL_PACKAGING_DIR}/zendral.1 ${man}
        COMMAND ${ZENDRAL_GZIP} -9nf ${man}
        DEPENDS ${ZENDRAL_PACKAGING_DIR}/zendral.1
        COMMENT "Compressing the zendral man page"
        VERBATIM)
    add_custom_target(zendral_man ALL DEPENDS ${man}.gz)
    install(FILES ${man}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
else()
    install(FILES ${ZENDRAL_PACKAGING_DIR}/zendral.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

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
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Depends: computed from the programs' libraries by dpkg-shlibdeps.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS qttranslations5-l10n)
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
(zendral-client) and a stand-in nesting engine for trials under
/usr/lib/zendral.")
# Maintainer scripts only for the systemd unit: reload and restart on an
# upgrade, stop and disable on removal.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${ZENDRAL_PACKAGING_DIR}/debian/postinst
    ${ZENDRAL_PACKAGING_DIR}/debian/prerm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
include(CPack)
