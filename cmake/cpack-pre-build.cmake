# Run by cpack once the files are staged (CPACK_TEMPORARY_DIRECTORY) and
# stripped, before the package is made.
#
# DEB: the native quillmar loses .comment and .note, as Debian's own strip
# step (dh_strip) does, so that lintian finds no unneeded section.
#
# ZIP: quillmar.exe is signed with Authenticode when QUILLMAR_SIGN_CERT and
# QUILLMAR_SIGN_KEY name a certificate and its private key (PEM or DER
# files, never in the tree); QUILLMAR_SIGN_PASS names a file holding the
# key's password, QUILLMAR_SIGN_TIMESTAMP an RFC 3161 time-stamp server.
# Without a certificate the package is unsigned and says so. Signing comes
# last, after every other change to the exe.

if(CPACK_GENERATOR STREQUAL "DEB")
  set(_binary ${CPACK_TEMPORARY_DIRECTORY}/usr/bin/quillmar)
  execute_process(COMMAND ${CPACK_QUILLMAR_STRIP} --remove-section=.comment --remove-section=.note
                          ${_binary}
                  RESULT_VARIABLE _status)
  if(NOT _status EQUAL 0)
    message(FATAL_ERROR "stripping ${_binary} failed (${_status})")
  endif()
elseif(CPACK_GENERATOR STREQUAL "ZIP")
  set(_exe ${CPACK_TEMPORARY_DIRECTORY}/quillmar.exe)
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
  execute_process(COMMAND ${_osslsigncode} ${_args} -in ${_exe} -out ${_exe}.signed
                  RESULT_VARIABLE _status)
  if(NOT _status EQUAL 0)
    file(REMOVE ${_exe}.signed)
    message(FATAL_ERROR "signing quillmar.exe failed (${_status})")
  endif()
  file(RENAME ${_exe}.signed ${_exe})
  message(STATUS "quillmar.exe signed with $ENV{QUILLMAR_SIGN_CERT}")
endif()
