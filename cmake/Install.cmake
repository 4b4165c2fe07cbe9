# Installation: one application folder (binaries, database, launchers, icons, start page,
# Videos/ and log/) under the prefix, plus the desktop entry and the menu icon; and a Debian
# package of it whose installation gives the binaries the capture capabilities.
#
# Nothing installed is writable by others: beside binaries that may capture, a shared writable
# file would let any account change everyone's passwords or write into a capturing program's log.
# Each user's program keeps its database, log/ and Videos/ in its own folder
# (~/.local/share/strevix, see src/platform/AppDirectory.h), starting from the installed database;
# log/ and Videos/ here serve root, who owns the installation and uses it in place.
#
#   cmake -S . -B build && cmake --build build
#   sudo cmake --install build                  # /opt/strevix
#   cmake --install build --prefix /tmp/strevix  # anywhere, menu entry below <prefix>/share
#   (cd build && cpack -G DEB)                   # strevix_1.5.3_amd64.deb

# CMake's own default (/usr/local) becomes /opt/strevix, also in build trees made before.
if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT OR CMAKE_INSTALL_PREFIX STREQUAL "/usr/local")
  set(CMAKE_INSTALL_PREFIX /opt/strevix CACHE PATH "Install prefix: the application folder" FORCE)
endif()

set(STREVIX_SOURCE_DATA ${CMAKE_SOURCE_DIR}/data)

# Folders made on the way (the prefix, share/...) get these modes whatever the umask.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(_folder_modes ${CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS})

# The application folder itself.
set(_binaries strevix-cli)
if(TARGET strevix)
  list(APPEND _binaries strevix)
endif()
install(TARGETS ${_binaries} RUNTIME DESTINATION . COMPONENT strevix)
install(FILES ${CMAKE_BINARY_DIR}/QuilletDT.dll DESTINATION .
        PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ COMPONENT strevix)
install(PROGRAMS ${CMAKE_SOURCE_DIR}/player/ffplayer DESTINATION player COMPONENT strevix)
install(PROGRAMS ${CMAKE_SOURCE_DIR}/player/ffmpeg/ffmpeg DESTINATION player/ffmpeg
        COMPONENT strevix)
install(FILES ${STREVIX_SOURCE_DATA}/start.html ${STREVIX_SOURCE_DATA}/start_en.html DESTINATION .
        COMPONENT strevix)
install(DIRECTORY ${STREVIX_SOURCE_DATA}/icons/ DESTINATION icons COMPONENT strevix
        FILES_MATCHING PATTERN "*.png")
install(FILES ${STREVIX_SOURCE_DATA}/sample.pcap DESTINATION . COMPONENT strevix)
install(DIRECTORY DESTINATION Videos DIRECTORY_PERMISSIONS ${_folder_modes} COMPONENT strevix)
install(DIRECTORY DESTINATION log DIRECTORY_PERMISSIONS ${_folder_modes} COMPONENT strevix)

# The desktop entry and the menu icon. For a prefix below /opt they go where the desktop looks
# (/usr/share); for any other prefix below <prefix>/share. Decided at install time, so that
# `cmake --install --prefix X` gets it right.
install(CODE "
  set(_prefix \"\${CMAKE_INSTALL_PREFIX}\")
  if(_prefix MATCHES \"^/opt(/|$)\")
    set(_share /usr/share)
  else()
    set(_share \"\${_prefix}/share\")
  endif()
  file(READ \"${STREVIX_SOURCE_DATA}/strevix.desktop\" _entry)
  string(REPLACE \"@STREVIX_INSTALL_DIR@\" \"\${_prefix}\" _entry \"\${_entry}\")
  file(WRITE \"${CMAKE_BINARY_DIR}/install/strevix.desktop\" \"\${_entry}\")
  file(INSTALL \"${CMAKE_BINARY_DIR}/install/strevix.desktop\"
       DESTINATION \"\${_share}/applications\")
  foreach(_size 16 24 32 48 64 72 96 128 256)
    file(MAKE_DIRECTORY \"${CMAKE_BINARY_DIR}/install/\${_size}\")
    configure_file(\"${STREVIX_SOURCE_DATA}/icons/globe-blue-\${_size}.png\"
                   \"${CMAKE_BINARY_DIR}/install/\${_size}/strevix.png\" COPYONLY)
    file(INSTALL \"${CMAKE_BINARY_DIR}/install/\${_size}/strevix.png\"
         DESTINATION \"\${_share}/icons/hicolor/\${_size}x\${_size}/apps\")
  endforeach()
" COMPONENT strevix)

# A root install into the real file system gives the capture capabilities at once; packages do
# it in their postinst.
option(STREVIX_INSTALL_SETCAP "setcap the binaries on a root cmake --install" ON)
if(STREVIX_INSTALL_SETCAP)
  install(CODE "
    if(\"\$ENV{DESTDIR}\" STREQUAL \"\" AND NOT CMAKE_INSTALL_PREFIX MATCHES \"_CPack_Packages\")
      find_program(_setcap setcap PATHS /usr/sbin /sbin)
      execute_process(COMMAND id -u OUTPUT_VARIABLE _uid OUTPUT_STRIP_TRAILING_WHITESPACE)
      if(_setcap AND _uid STREQUAL \"0\")
        foreach(_bin ${_binaries})
          execute_process(COMMAND \${_setcap} cap_net_raw,cap_net_admin=eip
                                  \"\${CMAKE_INSTALL_PREFIX}/\${_bin}\" RESULT_VARIABLE _rc)
          if(NOT _rc EQUAL 0)
            message(WARNING \"setcap failed on \${_bin}; live capture then needs root\")
          endif()
        endforeach()
      endif()
    endif()
  " COMPONENT strevix)
endif()

# The Debian package.
set(_debian ${CMAKE_BINARY_DIR}/debian)
file(MAKE_DIRECTORY ${_debian})
string(REPLACE ";" " " _binaries_text "${_binaries}")
file(WRITE ${_debian}/postinst "#!/bin/sh
set -e
dir='${CMAKE_INSTALL_PREFIX}'
if [ \"$1\" = configure ]; then
    # Live capture without root.
    for bin in ${_binaries_text}; do
        setcap cap_net_raw,cap_net_admin=eip \"$dir/$bin\" || \\
            echo \"strevix: setcap failed on $bin; live capture then needs root\" >&2
    done
    # Earlier versions opened these to every account; each user now has a folder of their own.
    # What other accounts left where root writes goes: their logs, and any link they planted.
    chmod 0755 \"$dir/log\" \"$dir/Videos\"
    chmod 0644 \"$dir/QuilletDT.dll\"
    find \"$dir/log\" -mindepth 1 ! -user root -delete || true
    find \"$dir/Videos\" -mindepth 1 -type l ! -user root -delete || true
    if command -v update-desktop-database >/dev/null 2>&1; then
        update-desktop-database -q /usr/share/applications || true
    fi
    if command -v gtk-update-icon-cache >/dev/null 2>&1; then
        gtk-update-icon-cache -q -t /usr/share/icons/hicolor || true
    fi
fi
exit 0
")
# The users' own folders (their databases and recordings) are theirs: never touched here.
file(WRITE ${_debian}/postrm "#!/bin/sh
set -e
if [ \"$1\" = purge ]; then
    rm -rf '${CMAKE_INSTALL_PREFIX}/log'
fi
exit 0
")
file(CHMOD ${_debian}/postinst ${_debian}/postrm
     PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ
                 WORLD_EXECUTE)

set(CPACK_PACKAGE_NAME strevix)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Strevix")
set(CPACK_PACKAGE_CONTACT "Strevix maintainers <strevix@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Finds video stream addresses (RTMP, RTSP, HTTP/HLS) in network traffic")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libcap2-bin, ffmpeg, xdg-utils, fonts-wqy-microhei")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${_debian}/postinst ${_debian}/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_GENERATOR DEB)
include(CPack)
