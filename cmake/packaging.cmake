# Installation and the Debian package.
#
# Installed layout (prefix /usr for the package, anything for `cmake --install --prefix`):
#   lib/nerlo/        the program directory: nerlo, nerlo-scan, nerlo-sigtool, kestry,
#                     nerlo-quarantine, database.db, tdb.ldb, heuristics.db and readme.txt. Every
#                     program finds its data files
#                     in the directory of its own executable (/proc/self/exe), so the real
#                     executables sit here, beside the databases.
#   bin/              relative symbolic links to the executables in lib/nerlo; the kernel
#                     resolves them, so /proc/self/exe still names the program directory.
#   share/applications/nerlo.desktop, share/icons/hicolor/<size>/apps/nerlo.png
#                     the menu entry and the application icon (drawn by nerlo-icon, the same
#                     picture as the windows' icon), where desktops look for them.
#   share/metainfo/nerlo.metainfo.xml   AppStream metadata, for software centres.
#   share/kio/servicemenus/nerlo-scan.desktop   "Scan with Nerlo" in Dolphin, for every user.
#   share/nerlo/nautilus/, share/nerlo/thunar/   "Scan with Nerlo" for Nautilus (a script) and
#                     Thunar (a custom action); both are personal settings there, so each
#                     user links or copies them (nerlo(1) says how).
#   share/man/man1/   the manual pages (cmake/manpages.cmake).
#   share/doc/nerlo/  copyright (machine-readable) and changelog.gz.
#   lib/systemd/system/kestry.service, kestry.timer
#                     the daily update of /var/lib/nerlo, not enabled.
# The settings file is not installed: each user's lives in $XDG_CONFIG_HOME/nerlo/.

set(NERLO_PROGRAM_DIR lib/nerlo CACHE STRING "Program directory, relative to the install prefix")

set(nerlo_programs)
foreach(program IN ITEMS nerlo nerlo-scan nerlo-sigtool kestry nerlo-quarantine)
  if(TARGET ${program})
    list(APPEND nerlo_programs ${program})
  endif()
endforeach()
install(TARGETS ${nerlo_programs} RUNTIME DESTINATION ${NERLO_PROGRAM_DIR})
# The installed programs, one a line, for the test that each has a manual page.
list(JOIN nerlo_programs "\n" nerlo_program_lines)
file(WRITE ${PROJECT_BINARY_DIR}/packaging/programs "${nerlo_program_lines}\n")
# A stripped install (the package's) also drops the compilers' version notes in .comment, as
# Debian's own packaging does.
find_program(NERLO_OBJCOPY NAMES objcopy ${CMAKE_OBJCOPY})
if(NERLO_OBJCOPY)
  foreach(program IN LISTS nerlo_programs)
    install(CODE "if(CMAKE_INSTALL_DO_STRIP)
  execute_process(COMMAND \"${NERLO_OBJCOPY}\" --remove-section=.comment
    \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${NERLO_PROGRAM_DIR}/${program}\")
endif()")
  endforeach()
endif()

if(TARGET default_databases)
  set(nerlo_bin ${PROJECT_BINARY_DIR}/bin)
  install(FILES ${nerlo_bin}/database.db ${nerlo_bin}/tdb.ldb ${nerlo_bin}/heuristics.db
                ${nerlo_bin}/readme.txt
          DESTINATION ${NERLO_PROGRAM_DIR})
endif()

# The links in bin/ are made at configure time in the build tree and installed as links.
file(RELATIVE_PATH nerlo_bin_to_program_dir /usr/bin /usr/${NERLO_PROGRAM_DIR})
set(nerlo_link_dir ${PROJECT_BINARY_DIR}/packaging/bin)
file(REMOVE_RECURSE ${nerlo_link_dir})
file(MAKE_DIRECTORY ${nerlo_link_dir})
foreach(program IN LISTS nerlo_programs)
  file(CREATE_LINK ${nerlo_bin_to_program_dir}/${program} ${nerlo_link_dir}/${program} SYMBOLIC)
  install(FILES ${nerlo_link_dir}/${program} DESTINATION bin)
endforeach()

set(nerlo_packaging ${PROJECT_SOURCE_DIR}/packaging)
# What starts the desktop program: only with the program.
if(TARGET nerlo)
  install(FILES ${nerlo_packaging}/nerlo.desktop DESTINATION share/applications)
  install(FILES ${nerlo_packaging}/nerlo.metainfo.xml DESTINATION share/metainfo)
  install(FILES ${nerlo_packaging}/dolphin/nerlo-scan.desktop DESTINATION share/kio/servicemenus)
  install(PROGRAMS "${nerlo_packaging}/nautilus/Scan with Nerlo" DESTINATION share/nerlo/nautilus)
  install(FILES ${nerlo_packaging}/thunar/uca.xml DESTINATION share/nerlo/thunar)
endif()
# The updater's daily timer and its service (not enabled; README says how), with the path of
# kestry under the prefix the installation uses (which for the package is /usr), filled in
# when installing.
if(TARGET kestry)
  install(CODE "
    set(NERLO_KESTRY \"\${CMAKE_INSTALL_PREFIX}/${NERLO_PROGRAM_DIR}/kestry\")
    configure_file(\"${PROJECT_SOURCE_DIR}/packaging/kestry.service\"
                   \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/lib/systemd/system/kestry.service\" @ONLY)
    configure_file(\"${PROJECT_SOURCE_DIR}/packaging/kestry.timer\"
                   \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/lib/systemd/system/kestry.timer\" COPYONLY)
    message(STATUS \"Installing: \$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/lib/systemd/system/kestry.{service,timer}\")
  ")
endif()
if(TARGET nerlo-icon)
  set(nerlo_icon_pngs)
  foreach(size IN ITEMS 48 128 256)
    set(png ${PROJECT_BINARY_DIR}/packaging/icons/${size}/nerlo.png)
    add_custom_command(
      OUTPUT ${png}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/packaging/icons/${size}
      COMMAND ${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=offscreen ASAN_OPTIONS=detect_leaks=0
              $<TARGET_FILE:nerlo-icon> ${png} ${size}
      DEPENDS nerlo-icon
      COMMENT "Drawing the ${size} x ${size} menu icon"
      VERBATIM)
    list(APPEND nerlo_icon_pngs ${png})
    install(FILES ${png} DESTINATION share/icons/hicolor/${size}x${size}/apps)
  endforeach()
  add_custom_target(nerlo_menu_icons ALL DEPENDS ${nerlo_icon_pngs})
endif()

include(${CMAKE_CURRENT_LIST_DIR}/manpages.cmake)

# The maintainer, found as Debian's own tools (dch, debchange) find it: the name from
# DEBFULLNAME (else NAME, else the user's full name in the password database), the address from
# DEBEMAIL (which may be "Name <address>"), else EMAIL, else user@host with the host of
# /etc/mailname or this machine's. build/packaging/maintainer records the choice and whether it
# came from DEBFULLNAME and DEBEMAIL, for tools/package to say so.
set(nerlo_name "$ENV{DEBFULLNAME}")
set(nerlo_email "$ENV{DEBEMAIL}")
set(nerlo_maintainer_from "DEBFULLNAME and DEBEMAIL")
if(nerlo_name STREQUAL "" OR nerlo_email STREQUAL "")
  set(nerlo_maintainer_from "a fallback: DEBFULLNAME or DEBEMAIL is not set")
endif()
if(nerlo_email MATCHES "^(.*[^ ]) *<([^>]+)>$")
  if(nerlo_name STREQUAL "")
    set(nerlo_name "${CMAKE_MATCH_1}")
  endif()
  set(nerlo_email "${CMAKE_MATCH_2}")
endif()
if(nerlo_email STREQUAL "")
  set(nerlo_email "$ENV{EMAIL}")
endif()
execute_process(COMMAND id -un OUTPUT_VARIABLE nerlo_user OUTPUT_STRIP_TRAILING_WHITESPACE
                ERROR_QUIET)
if(nerlo_name STREQUAL "")
  set(nerlo_name "$ENV{NAME}")
endif()
if(nerlo_name STREQUAL "" AND NOT nerlo_user STREQUAL "")
  execute_process(COMMAND getent passwd ${nerlo_user} OUTPUT_VARIABLE nerlo_passwd
                  OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  string(REPLACE ":" ";" nerlo_passwd "${nerlo_passwd}")
  list(LENGTH nerlo_passwd nerlo_fields)
  if(nerlo_fields GREATER 4)
    list(GET nerlo_passwd 4 nerlo_gecos)
    string(REGEX REPLACE ",.*" "" nerlo_name "${nerlo_gecos}")
  endif()
  if(nerlo_name STREQUAL "")
    set(nerlo_name "${nerlo_user}")
  endif()
endif()
if(nerlo_email STREQUAL "")
  set(nerlo_host "")
  if(EXISTS /etc/mailname)
    file(STRINGS /etc/mailname nerlo_host LIMIT_COUNT 1)
  endif()
  if(nerlo_host STREQUAL "")
    cmake_host_system_information(RESULT nerlo_host QUERY FQDN)
  endif()
  set(nerlo_email "${nerlo_user}@${nerlo_host}")
endif()
set(NERLO_MAINTAINER "${nerlo_name} <${nerlo_email}>")
file(WRITE ${PROJECT_BINARY_DIR}/packaging/maintainer
     "${NERLO_MAINTAINER}\n${nerlo_maintainer_from}\n")

# /usr/share/doc/nerlo: the licence in Debian's machine-readable format, and the changelog
# signed by the maintainer, compressed as Debian wants it (gzip -9n).
set(nerlo_changelog ${PROJECT_BINARY_DIR}/packaging/changelog)
configure_file(${nerlo_packaging}/changelog.in ${nerlo_changelog} @ONLY)
add_custom_command(
  OUTPUT ${nerlo_changelog}.gz
  COMMAND gzip -9 -n -c ${nerlo_changelog} > ${nerlo_changelog}.gz
  DEPENDS ${nerlo_changelog}
  COMMENT "Compressing the changelog")
add_custom_target(nerlo_changelog ALL DEPENDS ${nerlo_changelog}.gz)
install(FILES ${nerlo_packaging}/copyright ${nerlo_changelog}.gz DESTINATION share/doc/nerlo)

# CPack: `cpack -G DEB` in the build folder makes nerlo_<version>_<arch>.deb.
set(CPACK_PACKAGE_NAME nerlo)
set(CPACK_PACKAGE_VENDOR "The Nerlo developers")
set(CPACK_PACKAGE_CONTACT "${NERLO_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${NERLO_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "small desktop anti-virus scanner")
# Wrapped as a Debian description is (lines under 80 columns); CPack indents each line.
string(CONCAT CPACK_PACKAGE_DESCRIPTION
       "Nerlo scans every local drive, one folder or one file. Every file under\n"
       "5 MiB is checked by its MD5 fingerprint, by heuristic strings and by eight\n"
       "byte windows looked up in a window database; detections are deleted or left\n"
       "alone, as the settings say. File managers can start a scan of the files\n"
       "selected in them (\"Scan with Nerlo\").\n"
       "\n"
       "The package holds the desktop program, the command-line scanner nerlo-scan,\n"
       "the database writer nerlo-sigtool, the updater kestry, the quarantine tool\n"
       "nerlo-quarantine (files that scans deleted are kept for 30 days and can be\n"
       "restored) and the default databases.")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The shared libraries the executables link (libc6, libstdc++6, Qt 6 Core, Gui, Widgets) are
# found by dpkg-shlibdeps, with the versions they need. The X11 display plugin that the
# program uses (also on Wayland sessions, through XWayland) comes with libqt6gui6 on Debian.
# xdg-utils opens the help document.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# libsodium checks the signature sets (hashes, signatures) and the quarantine; named here as
# well, so that the
# dependency stands also where dpkg-shlibdeps is not at hand.
# libcurl fetches the updates; libssl3's libcrypto hashes the quarantine's copies.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libsodium23 (>= 1.0.18), libcurl4 (>= 7.85.0), libssl3 (>= 3.0.0)")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "xdg-utils")
find_program(NERLO_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(NOT NERLO_DPKG_SHLIBDEPS)
  # Without dpkg-dev the library list is written out (Debian 12 names, the oldest versions
  # that carry the symbols the executables use).
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
  string(CONCAT CPACK_DEBIAN_PACKAGE_DEPENDS
         "libc6 (>= 2.34), libgcc-s1 (>= 3.0), libstdc++6 (>= 12), libqt6core6 (>= 6.4.0), "
         "libqt6gui6 (>= 6.1.2), libqt6widgets6 (>= 6.1.2), libsodium23 (>= 1.0.18), "
         "libcurl4 (>= 7.85.0), libssl3 (>= 3.0.0)")
endif()
include(CPack)
