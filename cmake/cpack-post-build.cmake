# Run by cpack on each package it has made (CPACK_PACKAGE_FILES), before
# the package is copied out and its checksum written: every ZIP is made
# deterministic, so that every build of one commit gives the same bytes.
# cpack writes member times from the clock as local DOS times, the members
# in directory order and the builder's uid and gid in an extra field;
# strip-nondeterminism (Debian's reproducible-builds tool) normalises all
# of that. SOURCE_DATE_EPOCH is set (CPackProjectConfig.cmake).

foreach(_package IN LISTS CPACK_PACKAGE_FILES)
  if(NOT _package MATCHES "\\.zip$")
    continue()
  endif()
  find_program(_strip_nondeterminism strip-nondeterminism)
  if(NOT _strip_nondeterminism)
    message(FATAL_ERROR "strip-nondeterminism is not installed (Debian package "
                        "strip-nondeterminism): ${_package} would not be reproducible")
  endif()
  execute_process(COMMAND ${CMAKE_COMMAND} -E env TZ=UTC ${_strip_nondeterminism} -t zip
                          --timestamp $ENV{SOURCE_DATE_EPOCH} ${_package}
                  RESULT_VARIABLE _status)
  if(NOT _status EQUAL 0)
    message(FATAL_ERROR "strip-nondeterminism ${_package} failed (${_status})")
  endif()
endforeach()
