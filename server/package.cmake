# The Debian package of vindral-server (cpack -G DEB in a release build): the binary, the systemd
# unit, the options file, the maintainer scripts, and the licence and changelog lintian expects.
set(_deb "${CMAKE_CURRENT_SOURCE_DIR}/debian")
set(_gen "${CMAKE_CURRENT_BINARY_DIR}/debian")

# The unit in the tree starts a hand-installed /usr/local/bin binary; the package's copy starts
# /usr/bin/vindral-server with the options of /etc/default/vindral-server.
file(READ "${CMAKE_CURRENT_SOURCE_DIR}/vindral-server.service" _unit)
string(REGEX REPLACE "ExecStart=[^\n]*"
       "EnvironmentFile=-/etc/default/vindral-server\nExecStart=/usr/bin/vindral-server $VINDRAL_SERVER_OPTS"
       _unit "${_unit}")
file(WRITE "${_gen}/vindral-server.service" "${_unit}")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
    "${CMAKE_CURRENT_SOURCE_DIR}/vindral-server.service" "${_deb}/changelog.in")

file(READ "${PROJECT_SOURCE_DIR}/LICENSE" _licence)
file(WRITE "${_gen}/copyright"
     "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
     "Upstream-Name: vindral\n\nFiles: *\nCopyright: 2026 The Vindral developers\nLicense: MIT\n")
string(REGEX REPLACE "^MIT License\n\nCopyright[^\n]*\n\n" "" _licence "${_licence}")
string(REGEX REPLACE "\n\n" "\n.\n" _licence "${_licence}")
string(REGEX REPLACE "\n([^\n])" "\n \\1" _licence "${_licence}")
file(APPEND "${_gen}/copyright" " ${_licence}")

configure_file("${_deb}/changelog.in" "${_gen}/changelog" @ONLY)
add_custom_command(OUTPUT "${_gen}/changelog.gz"
                   COMMAND gzip -9nf -k "${_gen}/changelog"
                   DEPENDS "${_gen}/changelog")
add_custom_target(vindral_server_package_files ALL DEPENDS "${_gen}/changelog.gz")

install(TARGETS vindral-server RUNTIME DESTINATION bin COMPONENT server)
install(FILES "${_gen}/vindral-server.service" DESTINATION /lib/systemd/system COMPONENT server)
install(FILES "${_deb}/vindral-server.default" DESTINATION /etc/default RENAME vindral-server
        COMPONENT server)
install(FILES "${_gen}/copyright" "${_gen}/changelog.gz"
        DESTINATION share/doc/vindral-server COMPONENT server)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vindral-server)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};Vindral;server;/")
set(CPACK_PACKAGE_DIRECTORY "${CMAKE_BINARY_DIR}/package")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER
    "The Vindral developers <maintainers@users.noreply.c-seed-588c2345.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "price server of the local network for Vindral tickers")
# CPack puts the summary above as the synopsis line; lintian wants these under 80 columns.
string(CONCAT CPACK_DEBIAN_PACKAGE_DESCRIPTION
       "One machine polls the exchanges' public tickers for BTC, ETH and SUI;\n"
       "every Vindral window on the network mirrors it through a session and a\n"
       "long poll, so the exchanges see one poller however many windows are open.")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "init-system-helpers (>= 1.54~)")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    "${_deb}/postinst;${_deb}/prerm;${_deb}/postrm;${_deb}/conffiles")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
