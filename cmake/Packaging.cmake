# Installation, the man pages, the documentation tests, the benchmark target
# and the Windows build's ZIP (the native program's .deb is built from
# debian/ by dpkg-buildpackage). Included at the end of the top-level
# CMakeLists.txt.

include(GNUInstallDirs)

# Installing and packaging need the program and its papers, not the test
# programs: `cpack` must work in a build whose tests do not build. The
# packaging script builds what it installs first.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

set(QUILLMAR_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
# What the builds link in of their toolchains, with its notices.
set(QUILLMAR_NOTICES ${PROJECT_SOURCE_DIR}/docs/THIRD-PARTY-NOTICES.txt)
set(QUILLMAR_DOCS ${PROJECT_SOURCE_DIR}/docs)
set(QUILLMAR_CHECK_DOCS ${PROJECT_SOURCE_DIR}/scripts/check-docs.py)

# ------------------------------------------------------------ release date

# QUILLMAR_RELEASE_DATE as seconds since 1970 (days from the civil date,
# the usual era arithmetic), for scdoc's SOURCE_DATE_EPOCH and cpack's.
# CMake has no date parser.
if(NOT QUILLMAR_RELEASE_DATE MATCHES "^([0-9][0-9][0-9][0-9])-([0-9][0-9])-([0-9][0-9])$")
  message(FATAL_ERROR "QUILLMAR_RELEASE_DATE must be YYYY-MM-DD, not '${QUILLMAR_RELEASE_DATE}'")
endif()
set(_year ${CMAKE_MATCH_1})
math(EXPR _month "${CMAKE_MATCH_2}")
math(EXPR _day "${CMAKE_MATCH_3}")
if(_month LESS_EQUAL 2)
  math(EXPR _year "${_year} - 1")
  math(EXPR _month_from_march "${_month} + 9")
else()
  math(EXPR _month_from_march "${_month} - 3")
endif()
math(EXPR _era "${_year} / 400")
math(EXPR _year_of_era "${_year} - ${_era} * 400")
math(EXPR _day_of_year "(153 * ${_month_from_march} + 2) / 5 + ${_day} - 1")
math(EXPR _day_of_era
     "${_year_of_era} * 365 + ${_year_of_era} / 4 - ${_year_of_era} / 100 + ${_day_of_year}")
math(EXPR QUILLMAR_RELEASE_EPOCH "(${_era} * 146097 + ${_day_of_era} - 719468) * 86400")
# string(TIMESTAMP) reads SOURCE_DATE_EPOCH; it also proves the sum right.
set(_saved_epoch "$ENV{SOURCE_DATE_EPOCH}")
set(ENV{SOURCE_DATE_EPOCH} ${QUILLMAR_RELEASE_EPOCH})
string(TIMESTAMP _round_trip "%Y-%m-%d" UTC)
set(ENV{SOURCE_DATE_EPOCH} "${_saved_epoch}")
if(NOT _round_trip STREQUAL QUILLMAR_RELEASE_DATE)
  message(FATAL_ERROR "release date ${QUILLMAR_RELEASE_DATE} came back as ${_round_trip}")
endif()

# ------------------------------------------------------------ install rules

# Directories as Debian wants them whatever the builder's umask, so that
# two builds of one commit give the same packages.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
                                                GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

if(WIN32)
  # What an administrator unzips into a folder on PATH: the exe, a README
  # for administrators and the notices in CRLF, which any Windows editor
  # opens, the licence.
  macro(quillmar_crlf source output)
    configure_file(${source} ${output}.lf @ONLY)
    file(READ ${output}.lf _text)
    string(REPLACE "\r\n" "\n" _text "${_text}")
    string(REPLACE "\n" "\r\n" _text "${_text}")
    file(WRITE ${output}.new "${_text}")
    file(COPY_FILE ${output}.new ${output} ONLY_IF_DIFFERENT)
  endmacro()
  quillmar_crlf(${QUILLMAR_DOCS}/README.txt ${PROJECT_BINARY_DIR}/README.txt)
  quillmar_crlf(${QUILLMAR_NOTICES} ${PROJECT_BINARY_DIR}/THIRD-PARTY-NOTICES.txt)
  install(TARGETS quillmar RUNTIME DESTINATION .)
  install(FILES ${PROJECT_BINARY_DIR}/README.txt ${PROJECT_BINARY_DIR}/THIRD-PARTY-NOTICES.txt
                ${QUILLMAR_LICENSE} DESTINATION .)
else()
  # The program and its papers. The Debian package (debian/) adds its
  # copyright file, change logs and lintian overrides, and compresses what
  # Debian wants compressed, with debhelper's own steps.
  install(TARGETS quillmar RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${PROJECT_SOURCE_DIR}/README.md ${QUILLMAR_NOTICES}
          DESTINATION ${CMAKE_INSTALL_DOCDIR})

  # The man pages, written for scdoc in docs/ and configured with the
  # version and the wait's figures. scdoc stamps the page with
  # SOURCE_DATE_EPOCH, here the release date, never the day of the build.
  find_program(QUILLMAR_SCDOC scdoc)
  set(QUILLMAR_MANPAGES)
  if(QUILLMAR_SCDOC)
    foreach(page quillmar.1 quillmar-machine.5)
      string(REGEX MATCH "[0-9]$" _section ${page})
      configure_file(${QUILLMAR_DOCS}/${page}.scd ${PROJECT_BINARY_DIR}/docs/${page}.scd @ONLY)
      add_custom_command(
        OUTPUT ${PROJECT_BINARY_DIR}/docs/${page}
        COMMAND ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${QUILLMAR_RELEASE_EPOCH}
                sh -c "\"$1\" < \"$2\" > \"$3\"" sh ${QUILLMAR_SCDOC}
                ${PROJECT_BINARY_DIR}/docs/${page}.scd ${PROJECT_BINARY_DIR}/docs/${page}
        DEPENDS ${PROJECT_BINARY_DIR}/docs/${page}.scd
        COMMENT "Generating ${page} with scdoc"
        VERBATIM)
      list(APPEND QUILLMAR_MANPAGES ${PROJECT_BINARY_DIR}/docs/${page})
      install(FILES ${PROJECT_BINARY_DIR}/docs/${page}
              DESTINATION ${CMAKE_INSTALL_MANDIR}/man${_section})
    endforeach()
  else()
    message(STATUS "scdoc not found: the man pages are not built (Debian package scdoc)")
  endif()
  add_custom_target(quillmar_docs ALL DEPENDS ${QUILLMAR_MANPAGES})
endif()

# ---------------------------------------------------------------- doc tests

if(BUILD_TESTING AND NOT CMAKE_CROSSCOMPILING AND NOT WIN32)
  # The README's usage block and the man page's synopsis are what the
  # program prints, byte for byte.
  set(_usage_docs ${PROJECT_SOURCE_DIR}/README.md)
  if(QUILLMAR_MANPAGES)
    list(APPEND _usage_docs ${PROJECT_BINARY_DIR}/docs/quillmar.1)
  endif()
  add_test(NAME doc-usage
           COMMAND ${QUILLMAR_CHECK_DOCS} usage $<TARGET_FILE:quillmar> ${_usage_docs})
  set_tests_properties(doc-usage PROPERTIES LABELS doc)

  # README.md and docs/test-kit.md are not configured: their figures of the
  # wait are held to the build's. The configured papers may hold nothing
  # else either.
  add_test(NAME doc-figures
           COMMAND ${QUILLMAR_CHECK_DOCS} figures ${PROJECT_BINARY_DIR}/quillmar-facts.json
                   ${PROJECT_SOURCE_DIR}/README.md ${QUILLMAR_DOCS}/test-kit.md
                   ${QUILLMAR_DOCS}/README.txt ${QUILLMAR_DOCS}/quillmar.1.scd
                   ${PROJECT_SOURCE_DIR}/SERVICES/tests/kit/README.txt)
  set_tests_properties(doc-figures PROPERTIES LABELS doc)

  find_program(QUILLMAR_GROFF groff)
  if(QUILLMAR_MANPAGES AND QUILLMAR_GROFF)
    add_test(NAME doc-manpages
             COMMAND ${QUILLMAR_CHECK_DOCS} render ${QUILLMAR_MANPAGES})
    set_tests_properties(doc-manpages PROPERTIES LABELS doc)
  endif()
endif()

# ---------------------------------------------------------------- benchmarks

# Not part of `all` nor of the tests: `cmake --build --preset native --target bench`.
if(NOT WIN32)
  # Fills a simulated machine with other services through the machine's own
  # calls, for the growth measurement.
  add_executable(quillmar_bench_seed EXCLUDE_FROM_ALL ${PROJECT_SOURCE_DIR}/bench/seed_machine.cpp)
  target_link_libraries(quillmar_bench_seed PRIVATE quillmar_core quillmar_options)

  set(_bench_args --native ${PROJECT_BINARY_DIR})
  if(QUILLMAR_WINDOWS_BUILD_DIR)
    list(APPEND _bench_args --windows ${QUILLMAR_WINDOWS_BUILD_DIR})
  endif()
  add_custom_target(bench
    COMMAND ${PROJECT_SOURCE_DIR}/bench/bench.py ${_bench_args}
    DEPENDS quillmar quillmar_bench_seed
    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
    USES_TERMINAL
    VERBATIM)
endif()

# ---------------------------------------------------------------- packages

# The Windows build's ZIP. The native program's package is the Debian one,
# built by dpkg-buildpackage from debian/.
if(NOT WIN32)
  return()
endif()

set(CPACK_PACKAGE_NAME quillmar)
set(CPACK_PACKAGE_VENDOR "The quillmar developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "rehearse installing the Orv suite's Windows services")
set(CPACK_RESOURCE_FILE_LICENSE ${QUILLMAR_LICENSE})
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
# <package>.sha256 beside each package, for the release page; written after
# the post-build script, so it is the sum of the package as published.
set(CPACK_PACKAGE_CHECKSUM SHA256)

# The same packages from the same commit, wherever and whenever they are
# built: cpack runs with SOURCE_DATE_EPOCH at the release date (unless the
# builder set one), which MinGW's strip takes for the PE time stamp; then
# each ZIP is made deterministic (cmake/cpack-post-build.cmake). Before
# that, every staged quillmar.exe is signed when a certificate is given
# (cmake/cpack-pre-build.cmake).
set(_project_config ${PROJECT_BINARY_DIR}/CPackProjectConfig.cmake)
file(WRITE ${_project_config}.new
     "if(\"\$ENV{SOURCE_DATE_EPOCH}\" STREQUAL \"\")\n"
     "  set(ENV{SOURCE_DATE_EPOCH} ${QUILLMAR_RELEASE_EPOCH})\n"
     "endif()\n")
file(COPY_FILE ${_project_config}.new ${_project_config} ONLY_IF_DIFFERENT)
set(CPACK_PROJECT_CONFIG_FILE ${_project_config})
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/cpack-pre-build.cmake)
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/cpack-post-build.cmake)

set(CPACK_GENERATOR ZIP)
set(CPACK_SYSTEM_NAME win64)
# The files at the top of the archive, to be unzipped into the folder of
# the administrator's choice.
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)

# The Windows test kit, made with the release ZIP.
include(${CMAKE_CURRENT_LIST_DIR}/TestKit.cmake)

include(CPack)
