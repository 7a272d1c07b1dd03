# Run by cpack after cmake/cpack-post-build.cmake, on the packages it made
# (CPACK_PACKAGE_FILES): beside the release ZIP, the test kit's ZIP, which
# holds the quillmar.exe of that ZIP byte for byte (stripped and maybe
# signed by cpack), and its .sha256. Set up by cmake/TestKit.cmake.

foreach(_package IN LISTS CPACK_PACKAGE_FILES)
  if(NOT _package MATCHES "-win64\\.zip$")
    continue()
  endif()
  set(_work ${_package}.kit)
  file(REMOVE_RECURSE ${_work})
  file(MAKE_DIRECTORY ${_work})
  execute_process(COMMAND ${CPACK_QUILLMAR_CMAKE} -E tar xf ${_package} quillmar.exe
                  WORKING_DIRECTORY ${_work} RESULT_VARIABLE _status)
  if(NOT _status EQUAL 0 OR NOT EXISTS ${_work}/quillmar.exe)
    message(FATAL_ERROR "no quillmar.exe in ${_package} (${_status})")
  endif()
  set(_kit_zip ${CPACK_PACKAGE_DIRECTORY}/${CPACK_QUILLMAR_KIT_NAME}.zip)
  execute_process(COMMAND ${CPACK_QUILLMAR_CMAKE} -DKIT_DIR=${CPACK_QUILLMAR_KIT_DIR}
                          -DEXE=${_work}/quillmar.exe -DOUT=${_kit_zip}
                          -DEPOCH=$ENV{SOURCE_DATE_EPOCH}
                          -DSTRIP_NONDETERMINISM=${CPACK_QUILLMAR_STRIP_NONDETERMINISM}
                          -P ${CPACK_QUILLMAR_KIT_ZIP_SCRIPT}
                  RESULT_VARIABLE _status)
  if(NOT _status EQUAL 0)
    message(FATAL_ERROR "making the test kit ${_kit_zip} failed (${_status})")
  endif()
  file(SHA256 ${_kit_zip} _sum)
  file(WRITE ${_kit_zip}.sha256 "${_sum}  ${CPACK_QUILLMAR_KIT_NAME}.zip\n")
  file(REMOVE_RECURSE ${_work})
  message(STATUS "- test kit: ${_kit_zip} generated.")
endforeach()
