# Manual pages, made at build time from one scdoc source each: docs/man/NAME.SECTION.scd
# becomes man/NAME.SECTION (for checks) and man/NAME.SECTION.gz (compressed as Debian wants
# pages: gzip -9n, no name or time stamp inside) in the build folder. The page is installed
# into share/man/manSECTION when the program NAME is built. Adding a program's page is adding
# its source; tests/e2e/man_pages_test.sh checks every page and that every program has one.
#
# Needs scdoc (Debian package scdoc); without it no pages are made, with a note. Included after
# every program's target is defined.

file(GLOB NERLO_MAN_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/man/*.scd)
find_program(NERLO_SCDOC scdoc)
find_program(NERLO_GZIP gzip)

if(NERLO_MAN_SOURCES AND (NOT NERLO_SCDOC OR NOT NERLO_GZIP))
  message(STATUS "scdoc or gzip not found: no manual pages are made (apt-get install scdoc)")
elseif(NERLO_MAN_SOURCES)
  set(man_dir ${PROJECT_BINARY_DIR}/man)
  set(pages)
  foreach(source IN LISTS NERLO_MAN_SOURCES)
    get_filename_component(page ${source} NAME_WLE)
    if(NOT page MATCHES "^(.+)\\.([1-9])$")
      message(FATAL_ERROR "${source}: a manual page source is named NAME.SECTION.scd")
    endif()
    set(program ${CMAKE_MATCH_1})
    set(section ${CMAKE_MATCH_2})
    set(out ${man_dir}/${page})
    add_custom_command(
      OUTPUT ${out} ${out}.gz
      COMMAND ${CMAKE_COMMAND} -E make_directory ${man_dir}
      COMMAND ${NERLO_SCDOC} < ${source} > ${out}
      COMMAND ${NERLO_GZIP} -9 -n -c ${out} > ${out}.gz
      DEPENDS ${source}
      COMMENT "Making the manual page ${page}")
    list(APPEND pages ${out} ${out}.gz)
    if(TARGET ${program})
      install(FILES ${out}.gz DESTINATION share/man/man${section})
    endif()
  endforeach()
  add_custom_target(nerlo_man_pages ALL DEPENDS ${pages})
endif()
