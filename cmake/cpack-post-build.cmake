# Run by cpack on each package it has made (CPACK_PACKAGE_FILES), before
# the package is copied out and its checksum written: the package is made
# deterministic, so that every build of one commit gives the same bytes.
# SOURCE_DATE_EPOCH is set (CPackProjectConfig.cmake).
#
# ZIP: cpack writes member times from the clock as local DOS times, the
#      members in directory order and the builder's uid and gid in an
#      extra field; strip-nondeterminism (Debian's reproducible-builds
#      tool) normalises all of that.
# DEB: cpack's ar, tar and gzip headers carry the clock and the builder's
#      umask, and Installed-Size counts directories' st_size (ext4 and
#      tmpfs differ); the package is rebuilt from its own contents with
#      dpkg-deb, which takes its times from SOURCE_DATE_EPOCH, with fixed
#      modes and owners and Installed-Size reckoned as dpkg does.

set(_epoch "$ENV{SOURCE_DATE_EPOCH}")

foreach(_package IN LISTS CPACK_PACKAGE_FILES)
  if(_package MATCHES "\\.zip$")
    find_program(_strip_nondeterminism strip-nondeterminism)
    if(NOT _strip_nondeterminism)
      message(FATAL_ERROR "strip-nondeterminism is not installed (Debian package "
                          "strip-nondeterminism): ${_package} would not be reproducible")
    endif()
    execute_process(COMMAND ${CMAKE_COMMAND} -E env TZ=UTC ${_strip_nondeterminism} -t zip
                            --timestamp ${_epoch} ${_package}
                    RESULT_VARIABLE _status)
    if(NOT _status EQUAL 0)
      message(FATAL_ERROR "strip-nondeterminism ${_package} failed (${_status})")
    endif()
  elseif(_package MATCHES "\\.deb$")
    set(_tree ${_package}.tree)
    file(REMOVE_RECURSE ${_tree})
    execute_process(COMMAND dpkg-deb --raw-extract ${_package} ${_tree} RESULT_VARIABLE _status)
    if(NOT _status EQUAL 0)
      message(FATAL_ERROR "dpkg-deb --raw-extract ${_package} failed (${_status})")
    endif()
    # Every directory 0755 and every file's time the release date; the
    # files' own modes come from the install rules.
    execute_process(COMMAND find ${_tree} -type d -exec chmod 0755 {} +)
    execute_process(COMMAND find ${_tree} -exec touch -h -d @${_epoch} {} +)
    # Installed-Size as dpkg-gencontrol reckons it: each file's size in
    # KiB rounded up, and 1 KiB for every other entry (directories too).
    file(GLOB_RECURSE _entries LIST_DIRECTORIES true RELATIVE ${_tree} ${_tree}/*)
    set(_kib 0)
    foreach(_entry IN LISTS _entries)
      if(_entry MATCHES "^DEBIAN(/|$)")
        continue()
      endif()
      if(IS_DIRECTORY ${_tree}/${_entry} OR IS_SYMLINK ${_tree}/${_entry})
        math(EXPR _kib "${_kib} + 1")
      else()
        file(SIZE ${_tree}/${_entry} _size)
        math(EXPR _kib "${_kib} + (${_size} + 1023) / 1024")
      endif()
    endforeach()
    file(READ ${_tree}/DEBIAN/control _control)
    string(REGEX REPLACE "\nInstalled-Size: [0-9]+\n" "\nInstalled-Size: ${_kib}\n" _control
                         "${_control}")
    file(WRITE ${_tree}/DEBIAN/control "${_control}")
    execute_process(COMMAND touch -d @${_epoch} ${_tree}/DEBIAN/control)
    file(REMOVE ${_package})
    execute_process(COMMAND dpkg-deb --root-owner-group -Zxz --build ${_tree} ${_package}
                    OUTPUT_QUIET RESULT_VARIABLE _status)
    if(NOT _status EQUAL 0)
      message(FATAL_ERROR "dpkg-deb --build ${_package} failed (${_status})")
    endif()
    file(REMOVE_RECURSE ${_tree})
  endif()
endforeach()
