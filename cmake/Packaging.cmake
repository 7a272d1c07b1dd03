# Installation, the man page, the documentation tests, the benchmark target
# and the packages: a ZIP from the Windows build, a .deb from the native one.
# Included at the end of the top-level CMakeLists.txt.

include(GNUInstallDirs)

# Installing and packaging need the program and its papers, not the test
# programs: `cpack` must work in a build whose tests do not build. The
# packaging script builds what it installs first.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

find_package(Python3 3.9 COMPONENTS Interpreter)

set(QUILLMAR_README ${PROJECT_SOURCE_DIR}/README.md)
set(QUILLMAR_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(QUILLMAR_GEN_MANPAGE ${PROJECT_SOURCE_DIR}/scripts/gen-manpage.py)

if(WIN32)
  # What an administrator unzips: the exe and its papers side by side, the
  # README also as a CRLF .txt that any Windows editor opens.
  file(READ ${QUILLMAR_README} _readme)
  string(REPLACE "\r\n" "\n" _readme "${_readme}")
  string(REPLACE "\n" "\r\n" _readme "${_readme}")
  file(WRITE ${PROJECT_BINARY_DIR}/README.txt.new "${_readme}")
  file(COPY_FILE ${PROJECT_BINARY_DIR}/README.txt.new ${PROJECT_BINARY_DIR}/README.txt
       ONLY_IF_DIFFERENT)
  set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
               ${QUILLMAR_README})
  install(TARGETS quillmar RUNTIME DESTINATION .)
  install(FILES ${QUILLMAR_README} ${PROJECT_BINARY_DIR}/README.txt ${QUILLMAR_LICENSE}
          DESTINATION .)
else()
  install(TARGETS quillmar RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${QUILLMAR_README} ${QUILLMAR_LICENSE} DESTINATION ${CMAKE_INSTALL_DOCDIR})

  # The man page is made from the README's usage section and the simulated
  # machine's document at build time, so it cannot say something else.
  # The glob notices the machine's document when it appears.
  file(GLOB QUILLMAR_MACHINE_DOC CONFIGURE_DEPENDS
       ${PROJECT_SOURCE_DIR}/SERVICES/source/platform/SIMULATED-MACHINE.md)
  if(Python3_Interpreter_FOUND)
    add_custom_command(
      OUTPUT ${PROJECT_BINARY_DIR}/quillmar.1
      COMMAND ${Python3_EXECUTABLE} ${QUILLMAR_GEN_MANPAGE} ${QUILLMAR_README}
              --machine-doc ${PROJECT_SOURCE_DIR}/SERVICES/source/platform/SIMULATED-MACHINE.md
              --version ${PROJECT_VERSION} -o ${PROJECT_BINARY_DIR}/quillmar.1
      DEPENDS ${QUILLMAR_GEN_MANPAGE} ${QUILLMAR_README} ${QUILLMAR_MACHINE_DOC}
      COMMENT "Generating quillmar.1 from README.md"
      VERBATIM)
    add_custom_target(quillmar_manpage ALL DEPENDS ${PROJECT_BINARY_DIR}/quillmar.1)
    install(FILES ${PROJECT_BINARY_DIR}/quillmar.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  else()
    message(WARNING "python3 not found: no man page")
  endif()
endif()

# ---------------------------------------------------------------- doc tests

if(BUILD_TESTING AND Python3_Interpreter_FOUND AND NOT CMAKE_CROSSCOMPILING)
  # README's usage block is what the program prints, byte for byte.
  add_test(NAME doc-usage
           COMMAND ${Python3_EXECUTABLE} ${QUILLMAR_GEN_MANPAGE} --check-usage
                   ${QUILLMAR_README} $<TARGET_FILE:quillmar>)
  set_tests_properties(doc-usage PROPERTIES LABELS doc)

  find_program(QUILLMAR_GROFF groff)
  if(QUILLMAR_GROFF AND NOT WIN32)
    add_test(NAME doc-manpage
             COMMAND ${Python3_EXECUTABLE} ${QUILLMAR_GEN_MANPAGE} --check-render
                     ${QUILLMAR_README} ${PROJECT_BINARY_DIR}/quillmar.1
                     --machine-doc ${PROJECT_SOURCE_DIR}/SERVICES/source/platform/SIMULATED-MACHINE.md)
    set_tests_properties(doc-manpage PROPERTIES LABELS doc)
  endif()
endif()

# ---------------------------------------------------------------- benchmarks

# Not part of `all` nor of the tests: `cmake --build --preset native --target bench`.
if(NOT WIN32)
  # Fills a simulated machine with other services through the machine's own
  # calls, for the growth measurement.
  add_executable(quillmar_bench_seed EXCLUDE_FROM_ALL ${PROJECT_SOURCE_DIR}/bench/seed_machine.cpp)
  target_link_libraries(quillmar_bench_seed PRIVATE quillmar_platform)

  set(_bench_args --native ${PROJECT_BINARY_DIR})
  if(QUILLMAR_WINDOWS_BUILD_DIR)
    list(APPEND _bench_args --windows ${QUILLMAR_WINDOWS_BUILD_DIR})
  endif()
  add_custom_target(bench
    COMMAND bash ${PROJECT_SOURCE_DIR}/bench/bench.sh ${_bench_args}
    DEPENDS quillmar quillmar_bench_seed
    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
    USES_TERMINAL
    VERBATIM)
endif()

# ---------------------------------------------------------------- packages

set(CPACK_PACKAGE_NAME quillmar)
set(CPACK_PACKAGE_VENDOR "The quillmar developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Starts, stops, installs and removes the Orv suite's Windows services")
set(CPACK_PACKAGE_DESCRIPTION
    "quillmar looks after three services of the Orv management suite through the
Service Control Manager: it starts, stops, installs and removes them and
writes their parameters into the registry. This build runs on a simulated
machine, a directory of files named by QUILLMAR_MACHINE, which makes it a
tool for rehearsing installation scripts and for testing.")
set(CPACK_RESOURCE_FILE_LICENSE ${QUILLMAR_LICENSE})
set(CPACK_RESOURCE_FILE_README ${QUILLMAR_README})
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win64)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "quillmar developers")
  set(CPACK_DEBIAN_PACKAGE_SECTION admin)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  find_program(QUILLMAR_DPKG_SHLIBDEPS dpkg-shlibdeps)
  if(QUILLMAR_DPKG_SHLIBDEPS)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  else()
    # Without dpkg-dev the dependencies are named by hand.
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libgcc-s1, libstdc++6")
  endif()
endif()

include(CPack)
