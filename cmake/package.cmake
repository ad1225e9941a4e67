# The Debian package, made by CPack from the same install rules as a staging install: one
# package per build, amd64 from the host build and armhf from the board's static build
# (`make package` makes both). The version is the project's.
#
# Files only a Debian system wants (the script under the unit's name, its defaults file, the
# manual pages, copyright and changelog) are the `debian` component, left out of a plain
# `cmake --install`; the BusyBox board's S50 script is the `busybox` component, left out of the
# package.

# Manual pages, compressed as Debian keeps them (gzip -n: no name or time stamp inside).
set(nanvideo_man_dir ${CMAKE_BINARY_DIR}/man)
set(nanvideo_man_pages nanvideod.8 nanvideoctl.1 nanvideo-keyword.8)
set(nanvideo_man_outputs "")
foreach(page ${nanvideo_man_pages})
  add_custom_command(OUTPUT ${nanvideo_man_dir}/${page}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${nanvideo_man_dir}
    COMMAND gzip -9n -c ${CMAKE_CURRENT_SOURCE_DIR}/dist/${page} > ${nanvideo_man_dir}/${page}.gz
    DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/dist/${page} VERBATIM)
  list(APPEND nanvideo_man_outputs ${nanvideo_man_dir}/${page}.gz)
endforeach()

set(NANVIDEO_DEB_MAINTAINER "nanvideod team <nanvideod@example.org>" CACHE STRING
  "The packages' Maintainer field and changelog signature")
set(NANVIDEO_DEB_RELEASE 1)
set(nanvideo_deb_version ${PROJECT_VERSION}-${NANVIDEO_DEB_RELEASE})
configure_file(dist/deb/changelog.in ${CMAKE_BINARY_DIR}/deb/changelog.Debian @ONLY)
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/deb/changelog.Debian.gz
  COMMAND gzip -9n -c ${CMAKE_BINARY_DIR}/deb/changelog.Debian > ${CMAKE_BINARY_DIR}/deb/changelog.Debian.gz
  DEPENDS ${CMAKE_BINARY_DIR}/deb/changelog.Debian VERBATIM)
add_custom_target(nanvideo-package-files ALL
  DEPENDS ${nanvideo_man_outputs} ${CMAKE_BINARY_DIR}/deb/changelog.Debian.gz)

# Where Debian 12's debhelper and lintian expect units (a staging install follows the prefix).
install(FILES dist/nanvideod.service DESTINATION /lib/systemd/system
  COMPONENT debian EXCLUDE_FROM_ALL)
set(nanvideo_doc_dir ${CMAKE_INSTALL_DATAROOTDIR}/doc/nanvideod)
install(FILES dist/S50nanvideod RENAME nanvideod DESTINATION /etc/init.d
  PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE
  COMPONENT debian EXCLUDE_FROM_ALL)
install(FILES dist/nanvideod.default RENAME nanvideod DESTINATION /etc/default
  COMPONENT debian EXCLUDE_FROM_ALL)
install(FILES ${nanvideo_man_dir}/nanvideod.8.gz ${nanvideo_man_dir}/nanvideo-keyword.8.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man8
  COMPONENT debian EXCLUDE_FROM_ALL)
install(FILES ${nanvideo_man_dir}/nanvideoctl.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
  COMPONENT debian EXCLUDE_FROM_ALL)
install(FILES dist/deb/copyright ${CMAKE_BINARY_DIR}/deb/changelog.Debian.gz
  DESTINATION ${nanvideo_doc_dir} COMPONENT debian EXCLUDE_FROM_ALL)
if(CMAKE_CROSSCOMPILING AND CMAKE_SYSTEM_PROCESSOR MATCHES "^arm")
  set(nanvideo_deb_arch armhf)
  # The daemon and the keyword tool are static (no dependency); nanvideoctl is not: it looks
  # host names up through the C library. dpkg-shlibdeps cannot see a cross sysroot, so its
  # needs (readelf -d: libstdc++, libgcc_s, libc) are named here, at the cross compiler's
  # versions.
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.36), libgcc-s1 (>= 3.5), libstdc++6 (>= 12)")
  set(nanvideo_lintian_overrides lintian-overrides-armhf)
else()
  execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE nanvideo_deb_arch
    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(nanvideo_lintian_overrides lintian-overrides)
endif()
install(FILES dist/deb/${nanvideo_lintian_overrides} RENAME nanvideod
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides COMPONENT debian EXCLUDE_FROM_ALL)

# The package needs only what its install rules name, not every test of the build.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME nanvideod)
set(CPACK_PACKAGE_VENDOR "nanvideod team")
set(CPACK_PACKAGE_CONTACT ${NANVIDEO_DEB_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "SPI video to TCP port 554 with Wi-Fi Aware bring-up")
set(CPACK_PACKAGE_DESCRIPTION "\
nanvideod takes video off a camera board's SPI bus and streams it on TCP port\n\
554 to up to four clients, answers at+ab text commands on the same port, keeps\n\
its Wi-Fi Aware (NAN) parameters in the boot environment and brings NAN up\n\
through iw. The package holds the daemon with its systemd unit and init\n\
script, the keyword tool nanvideo-keyword and the client nanvideoctl.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_COMPONENTS_ALL Unspecified debian)
set(CPACK_DEBIAN_PACKAGE_NAME nanvideod)
set(CPACK_DEBIAN_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_DEBIAN_PACKAGE_RELEASE ${NANVIDEO_DEB_RELEASE})
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${nanvideo_deb_arch})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# iw brings NAN up, the boot-environment tools keep the parameters; a BusyBox-based image may
# carry its own, so they are recommended, not required.
# invoke-rc.d --skip-systemd-native in the maintainer scripts.
set(CPACK_DEBIAN_PACKAGE_PREDEPENDS "init-system-helpers (>= 1.54~)")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "iw, libubootenv-tool | u-boot-tools, net-tools")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${CMAKE_CURRENT_SOURCE_DIR}/dist/deb/postinst
  ${CMAKE_CURRENT_SOURCE_DIR}/dist/deb/prerm
  ${CMAKE_CURRENT_SOURCE_DIR}/dist/deb/postrm
  ${CMAKE_CURRENT_SOURCE_DIR}/dist/deb/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_OUTPUT_FILE_PREFIX ${CMAKE_BINARY_DIR}/package)
include(CPack)
