# The Debian package (cpack -G DEB in a build configured with
# -DNAVDIAL_PACKAGE=ON -DCMAKE_INSTALL_PREFIX=/usr): navdial, replug, their
# man pages, the station file, the web page, and the service with its
# settings and the DVB driver's blacklist.
install(FILES ${PROJECT_SOURCE_DIR}/contrib/debian/navdial.default DESTINATION /etc/default RENAME navdial)
install(FILES ${PROJECT_SOURCE_DIR}/contrib/debian/blacklist-dvb.conf DESTINATION /etc/modprobe.d
        RENAME navdial-blacklist-dvb.conf)
install(FILES ${PROJECT_SOURCE_DIR}/contrib/debian/navdial.service DESTINATION lib/systemd/system)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME navdial)
set(CPACK_PACKAGE_CONTACT "navdial developers <navdial@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "VOR receiver for RTL2832U dongles: the radial of a VOR station")
set(CPACK_DEBIAN_PACKAGE_SECTION hamradio)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
if(CMAKE_CROSSCOMPILING AND CMAKE_SYSTEM_PROCESSOR MATCHES "^arm")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE armhf)
else()
  execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE arch OUTPUT_STRIP_TRAILING_WHITESPACE)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${arch})
endif()
# The run-time libraries of what navdial links (the same names on amd64
# and armhf), and adduser for the service's user.
set(deps "libc6, libstdc++6, librtlsdr0, libliquid1, libsndfile1, libgeographiclib23, libmicrohttpd12, adduser")
if(NAVDIAL_MQTT)
  string(APPEND deps ", libmosquitto1")
endif()
set(CPACK_DEBIAN_PACKAGE_DEPENDS "${deps}")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/contrib/debian/postinst ${PROJECT_SOURCE_DIR}/contrib/debian/prerm
    ${PROJECT_SOURCE_DIR}/contrib/debian/postrm ${PROJECT_SOURCE_DIR}/contrib/debian/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
