# Run by cpack once the files are staged (CPACK_TEMPORARY_DIRECTORY) and
# stripped, before the ZIP is made: every staged quillmar.exe is signed
# with Authenticode when QUILLMAR_SIGN_CERT and QUILLMAR_SIGN_KEY name a
# certificate and its private key (PEM or DER files, never in the tree);
# QUILLMAR_SIGN_PASS names a file holding the key's password,
# QUILLMAR_SIGN_TIMESTAMP an RFC 3161 time-stamp server. Without a
# certificate the package is unsigned and says so. Signing comes last,
# after every other change to the exe.

file(GLOB_RECURSE _exes ${CPACK_TEMPORARY_DIRECTORY}/quillmar.exe)
if(NOT _exes)
  return()
endif()
if("$ENV{QUILLMAR_SIGN_CERT}" STREQUAL "" OR "$ENV{QUILLMAR_SIGN_KEY}" STREQUAL "")
  message(STATUS "quillmar.exe is NOT signed: set QUILLMAR_SIGN_CERT and QUILLMAR_SIGN_KEY "
                 "to sign it with Authenticode")
  return()
endif()
find_program(_osslsigncode osslsigncode)
if(NOT _osslsigncode)
  message(FATAL_ERROR "QUILLMAR_SIGN_CERT is set, but osslsigncode is not installed "
                      "(Debian package osslsigncode)")
endif()
set(_args sign -certs "$ENV{QUILLMAR_SIGN_CERT}" -key "$ENV{QUILLMAR_SIGN_KEY}"
    -h sha256 -n "quillmar ${CPACK_PACKAGE_VERSION}")
if(NOT "$ENV{QUILLMAR_SIGN_PASS}" STREQUAL "")
  list(APPEND _args -readpass "$ENV{QUILLMAR_SIGN_PASS}")
endif()
if(NOT "$ENV{QUILLMAR_SIGN_TIMESTAMP}" STREQUAL "")
  list(APPEND _args -ts "$ENV{QUILLMAR_SIGN_TIMESTAMP}")
endif()
foreach(_exe IN LISTS _exes)
  execute_process(COMMAND ${_osslsigncode} ${_args} -in ${_exe} -out ${_exe}.signed
                  RESULT_VARIABLE _status)
  if(NOT _status EQUAL 0)
    file(REMOVE ${_exe}.signed)
    message(FATAL_ERROR "signing ${_exe} failed (${_status})")
  endif()
  file(RENAME ${_exe}.signed ${_exe})
  message(STATUS "quillmar.exe signed with $ENV{QUILLMAR_SIGN_CERT}")
endforeach()
