# The wait of a start or a stop, from QUILLMAR_MAX_POLLS and
# QUILLMAR_POLL_PAUSE_MS (set in the top-level CMakeLists.txt), and what
# the rest of the project is told of it:
#
#   quillmar_config    an interface target whose include directory holds
#                      quillmar_config.h (the program, the fuzzer, the
#                      Windows test service);
#   quillmar-facts.json   in the build directory, for the Python harness
#                      (SERVICES/tests/scenarios/buildfacts.py) and the
#                      scripts, found through the build directory they name,
#                      with the words the papers get;
#   QUILLMAR_WAIT_SECONDS, QUILLMAR_POLL_PAUSE_TEXT for the papers
#                      configured from docs/ (@QUILLMAR_MAX_POLLS@ too).

foreach(_fact QUILLMAR_MAX_POLLS QUILLMAR_POLL_PAUSE_MS)
  if(NOT ${_fact} MATCHES "^[1-9][0-9]*$")
    message(FATAL_ERROR "${_fact} must be a whole number above 0, not '${${_fact}}'")
  endif()
endforeach()

math(EXPR QUILLMAR_WAIT_MS "${QUILLMAR_MAX_POLLS} * ${QUILLMAR_POLL_PAUSE_MS}")
# Rounded up: what the papers call "about N s".
math(EXPR QUILLMAR_WAIT_SECONDS "(${QUILLMAR_WAIT_MS} + 999) / 1000")
# How long a test service that must outlast the wait (a stop that takes its
# time, a start that never comes) takes: the wait and a third of it again,
# so that the program's wait always runs out first, however busy the host.
math(EXPR QUILLMAR_SLOW_SECONDS "(${QUILLMAR_WAIT_MS} * 4 / 3 + 999) / 1000")

# The pause in words, as the papers write it.
if(QUILLMAR_POLL_PAUSE_MS EQUAL 1000)
  set(QUILLMAR_POLL_PAUSE_TEXT "one second")
else()
  math(EXPR _whole_seconds "${QUILLMAR_POLL_PAUSE_MS} % 1000")
  if(_whole_seconds EQUAL 0)
    math(EXPR _seconds "${QUILLMAR_POLL_PAUSE_MS} / 1000")
    set(QUILLMAR_POLL_PAUSE_TEXT "${_seconds} seconds")
  else()
    set(QUILLMAR_POLL_PAUSE_TEXT "${QUILLMAR_POLL_PAUSE_MS} ms")
  endif()
endif()

set(_generated ${PROJECT_BINARY_DIR}/generated)
configure_file(${PROJECT_SOURCE_DIR}/SERVICES/source/quillmar_config.h.in
               ${_generated}/quillmar_config.h @ONLY)
configure_file(${PROJECT_SOURCE_DIR}/cmake/quillmar-facts.json.in
               ${PROJECT_BINARY_DIR}/quillmar-facts.json @ONLY)

add_library(quillmar_config INTERFACE)
target_include_directories(quillmar_config INTERFACE ${_generated})
