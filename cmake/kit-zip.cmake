# Makes the test kit's ZIP: cmake -DKIT_DIR=... -DEXE=... -DOUT=... -P kit-zip.cmake
#
#   KIT_DIR  the kit's staged tree; with FILES it is made afresh from them
#   FILES    the kit's files (each at the top of the kit, by its own name)
#   EXE      the quillmar.exe the kit holds
#   OUT      the ZIP to write
#   EPOCH    the release date, as seconds since 1970: every member's time
#   STRIP_NONDETERMINISM  strip-nondeterminism, which leaves no trace of
#            the builder (time zone, user) in the ZIP; required with EPOCH
#
# Without FILES the staged tree is copied beside OUT and EXE put into the
# copy: the kit of a release holds the release ZIP's own quillmar.exe.

foreach(_var KIT_DIR EXE OUT EPOCH)
  if(NOT DEFINED ${_var} OR "${${_var}}" STREQUAL "")
    message(FATAL_ERROR "kit-zip.cmake: ${_var} is not set")
  endif()
endforeach()
if(NOT STRIP_NONDETERMINISM)
  message(FATAL_ERROR "strip-nondeterminism is not installed (Debian package "
                      "strip-nondeterminism): ${OUT} would not be reproducible")
endif()

# Every member 0644 whatever the builder's umask; Windows reads no mode.
set(_modes FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
if(FILES)
  set(_tree ${KIT_DIR})
  file(REMOVE_RECURSE ${_tree})
  file(MAKE_DIRECTORY ${_tree})
  file(COPY ${FILES} DESTINATION ${_tree} ${_modes})
else()
  set(_tree ${OUT}.tree)
  file(REMOVE_RECURSE ${_tree})
  file(MAKE_DIRECTORY ${_tree})
  file(GLOB _staged ${KIT_DIR}/*)
  if(NOT _staged)
    message(FATAL_ERROR "the test kit is not built in ${KIT_DIR} (build the target test_kit)")
  endif()
  file(COPY ${_staged} DESTINATION ${_tree} ${_modes})
endif()
file(COPY_FILE ${EXE} ${_tree}/quillmar.exe)
file(CHMOD ${_tree}/quillmar.exe ${_modes})

file(GLOB _members RELATIVE ${_tree} ${_tree}/*)
list(SORT _members)
file(REMOVE ${OUT})
execute_process(COMMAND ${CMAKE_COMMAND} -E tar cf ${OUT} --format=zip -- ${_members}
                WORKING_DIRECTORY ${_tree} RESULT_VARIABLE _status)
if(NOT _status EQUAL 0)
  message(FATAL_ERROR "zipping ${_tree} into ${OUT} failed (${_status})")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E env TZ=UTC ${STRIP_NONDETERMINISM} -t zip
                        --timestamp ${EPOCH} ${OUT}
                RESULT_VARIABLE _status)
if(NOT _status EQUAL 0)
  message(FATAL_ERROR "strip-nondeterminism ${OUT} failed (${_status})")
endif()
if(NOT FILES)
  file(REMOVE_RECURSE ${_tree})
endif()
