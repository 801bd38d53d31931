# Signs a Windows exe in place with Authenticode, with osslsigncode. Included by
# package.cmake while packing, or run on its own:
#   cmake -DEXE=halvern.exe -DCERT=cert.pem -DKEY=key.pem [-DPASSWORD_FILE=file]
#         [-DTIMESTAMP_URL=url] -P cmake/sign.cmake
# CERT is the certificate (chain) in PEM or DER, KEY its private key. TIMESTAMP_URL is
# an RFC 3161 timestamp server, whose countersignature keeps the signature valid after
# the certificate has expired; without one, the signature expires with it.
foreach(name EXE CERT KEY)
  if(NOT EXISTS "${${name}}")
    message(FATAL_ERROR "sign.cmake: ${name} '${${name}}' does not exist")
  endif()
endforeach()
find_program(OSSLSIGNCODE osslsigncode REQUIRED)
set(password)
if(PASSWORD_FILE)
  set(password -readpass "${PASSWORD_FILE}")
endif()
set(timestamp)
if(TIMESTAMP_URL)
  set(timestamp -ts "${TIMESTAMP_URL}")
else()
  message(NOTICE "No timestamp server (HALVERN_SIGN_TIMESTAMP_URL): the signature on ${EXE} will expire with its certificate.")
endif()
execute_process(
  COMMAND "${OSSLSIGNCODE}" sign -certs "${CERT}" -key "${KEY}" ${password} ${timestamp}
          -n Halvern -h sha256 -in "${EXE}" -out "${EXE}.signed"
  RESULT_VARIABLE result OUTPUT_QUIET)
if(NOT result EQUAL 0)
  file(REMOVE "${EXE}.signed")
  message(FATAL_ERROR "sign.cmake: osslsigncode could not sign ${EXE}")
endif()
file(RENAME "${EXE}.signed" "${EXE}")
