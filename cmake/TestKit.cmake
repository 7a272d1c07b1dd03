# The Windows test kit, quillmar-<version>-win64-tests.zip: the scenario
# table run on any Windows machine by run-tests.cmd (docs/test-kit.md).
# Included from Packaging.cmake, before CPack.
#
# Built with the Windows build (target test_kit, part of all): the kit's
# data made from the scenario table, the kit staged in kit/<name>/ and a
# ZIP of it beside, with this build's quillmar.exe, for the Wine tier.
# Made by cpack with the release ZIP (cmake/kit-post-build.cmake): the
# kit's ZIP in packages/, holding the release ZIP's own quillmar.exe (as
# cpack stripped and maybe signed it), deterministic as that ZIP is, with
# its .sha256.

option(QUILLMAR_TEST_KIT "Build the Windows test kit beside quillmar.exe" ON)
if(NOT WIN32 OR NOT QUILLMAR_TEST_KIT)
  return()
endif()

# The test service and the merge tool's stand-in; a release build adds no
# other fixture.
if(NOT TARGET testsvc)
  add_subdirectory(${PROJECT_SOURCE_DIR}/SERVICES/tests/wine ${PROJECT_BINARY_DIR}/SERVICES/tests/wine)
endif()
add_subdirectory(${PROJECT_SOURCE_DIR}/SERVICES/tests/kit ${PROJECT_BINARY_DIR}/SERVICES/tests/kit)

find_package(Python3 3.9 REQUIRED COMPONENTS Interpreter)
find_program(QUILLMAR_STRIP_NONDETERMINISM strip-nondeterminism)

set(QUILLMAR_KIT_NAME quillmar-${PROJECT_VERSION}-win64-tests)
set(_kit ${PROJECT_BINARY_DIR}/kit)
set(QUILLMAR_KIT_DIR ${_kit}/${QUILLMAR_KIT_NAME})
set(_kit_source ${PROJECT_SOURCE_DIR}/SERVICES/tests/kit)
set(_scenarios ${PROJECT_SOURCE_DIR}/SERVICES/tests/scenarios)

add_custom_command(
  OUTPUT ${_kit}/scenarios.txt
  COMMAND ${CMAKE_COMMAND} -E env PYTHONDONTWRITEBYTECODE=1
          ${Python3_EXECUTABLE} ${_kit_source}/make_kit_data.py --version ${PROJECT_VERSION}
          --build ${PROJECT_BINARY_DIR}/quillmar-facts.json
          -o ${_kit}/scenarios.txt
  DEPENDS ${_kit_source}/make_kit_data.py ${_scenarios}/scenarios.py ${_scenarios}/model.py
          ${_scenarios}/buildfacts.py ${PROJECT_BINARY_DIR}/quillmar-facts.json
  COMMENT "Making the test kit's scenario data"
  VERBATIM)

# The papers in CRLF, which every Windows editor and cmd.exe read.
foreach(_paper run-tests.cmd README.txt)
  configure_file(${_kit_source}/${_paper} ${_kit}/${_paper}.lf @ONLY)
endforeach()
configure_file(${PROJECT_SOURCE_DIR}/docs/THIRD-PARTY-NOTICES.txt ${_kit}/THIRD-PARTY-NOTICES.txt.lf
               COPYONLY)
foreach(_paper run-tests.cmd README.txt THIRD-PARTY-NOTICES.txt)
  file(READ ${_kit}/${_paper}.lf _text)
  string(REPLACE "\n" "\r\n" _text "${_text}")
  file(WRITE ${_kit}/${_paper}.new "${_text}")
  file(COPY_FILE ${_kit}/${_paper}.new ${_kit}/${_paper} ONLY_IF_DIFFERENT)
endforeach()

set(_kit_files
    $<TARGET_FILE:quillmar> $<TARGET_FILE:qmkit> $<TARGET_FILE:testsvc> $<TARGET_FILE:fakemerge>
    ${_kit}/scenarios.txt ${_kit}/run-tests.cmd ${_kit}/README.txt
    ${_kit}/THIRD-PARTY-NOTICES.txt ${PROJECT_SOURCE_DIR}/LICENSE)
add_custom_command(
  OUTPUT ${_kit}/${QUILLMAR_KIT_NAME}.zip
  COMMAND ${CMAKE_COMMAND} -DKIT_DIR=${QUILLMAR_KIT_DIR} "-DFILES=${_kit_files}"
          -DEXE=$<TARGET_FILE:quillmar> -DOUT=${_kit}/${QUILLMAR_KIT_NAME}.zip
          -DEPOCH=${QUILLMAR_RELEASE_EPOCH}
          -DSTRIP_NONDETERMINISM=${QUILLMAR_STRIP_NONDETERMINISM}
          -P ${PROJECT_SOURCE_DIR}/cmake/kit-zip.cmake
  DEPENDS ${_kit_files} ${PROJECT_SOURCE_DIR}/cmake/kit-zip.cmake
  COMMENT "Making the test kit ${QUILLMAR_KIT_NAME}"
  VERBATIM)
add_custom_target(test_kit ALL DEPENDS ${_kit}/${QUILLMAR_KIT_NAME}.zip)

# For cmake/kit-post-build.cmake, run by cpack after the release ZIP is made.
set(CPACK_QUILLMAR_KIT_DIR ${QUILLMAR_KIT_DIR})
set(CPACK_QUILLMAR_KIT_NAME ${QUILLMAR_KIT_NAME})
set(CPACK_QUILLMAR_CMAKE ${CMAKE_COMMAND})
set(CPACK_QUILLMAR_KIT_ZIP_SCRIPT ${PROJECT_SOURCE_DIR}/cmake/kit-zip.cmake)
set(CPACK_QUILLMAR_STRIP_NONDETERMINISM ${QUILLMAR_STRIP_NONDETERMINISM})
list(APPEND CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/kit-post-build.cmake)
