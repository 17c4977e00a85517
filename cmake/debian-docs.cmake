# portkick_debian_docs(DIR MAINTAINER) writes, when CMake configures, the
# files that Debian policy asks of the package's documentation:
#   DIR/copyright     machine-readable, with the licence text of LICENSE
#   DIR/changelog.gz  the Debian changelog made from CHANGELOG.md
#   DIR/portkick.1.gz the manual page, docs/portkick.1
# compressed with `gzip -9n` (no name, no time stamp): the same sources give
# the same bytes. An edit of any source configures again.
function(portkick_debian_docs dir maintainer)
  set(sources LICENSE CHANGELOG.md docs/portkick.1 cmake/changelog.awk)
  list(TRANSFORM sources PREPEND "${PROJECT_SOURCE_DIR}/")
  set_property(DIRECTORY "${PROJECT_SOURCE_DIR}" APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${sources})
  find_program(PORTKICK_GZIP gzip REQUIRED)
  find_program(PORTKICK_AWK awk REQUIRED)
  file(MAKE_DIRECTORY "${dir}")

  # LICENSE: a title, a blank line, "Copyright (c) WHO", a blank line, then
  # the licence, which Debian calls Expat.
  file(READ "${PROJECT_SOURCE_DIR}/LICENSE" licence)
  if(NOT licence MATCHES "^MIT License\n\nCopyright \\(c\\) ([^\n]+)\n\n(.+[^\n])\n*$")
    message(FATAL_ERROR "LICENSE: not the MIT licence with one copyright line")
  endif()
  set(holder "${CMAKE_MATCH_1}")
  string(REPLACE "\n\n" "\n.\n" text "${CMAKE_MATCH_2}")
  string(REPLACE "\n" "\n " text "${text}")
  file(WRITE "${dir}/copyright"
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: portkick
Upstream-Contact: ${maintainer}

Files: *
Copyright: ${holder}
License: Expat
 ${text}
")

  execute_process(
    COMMAND "${PORTKICK_AWK}" -v "version=${PROJECT_VERSION}" -v "maintainer=${maintainer}"
      -f "${PROJECT_SOURCE_DIR}/cmake/changelog.awk" "${PROJECT_SOURCE_DIR}/CHANGELOG.md"
    OUTPUT_FILE "${dir}/changelog" RESULT_VARIABLE failed ERROR_VARIABLE why)
  if(failed)
    message(FATAL_ERROR "${why}")
  endif()
  foreach(file "${dir}/changelog" "${PROJECT_SOURCE_DIR}/docs/portkick.1")
    get_filename_component(name "${file}" NAME)
    execute_process(COMMAND "${PORTKICK_GZIP}" -9n -c "${file}"
      OUTPUT_FILE "${dir}/${name}.gz" COMMAND_ERROR_IS_FATAL ANY)
  endforeach()
endfunction()
