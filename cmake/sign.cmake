# Signs a Windows exe in place with Authenticode, with osslsigncode. Included by
# package.cmake while packing, or run on its own:
#   cmake -DEXE=halvern.exe -DCERT=cert.pem -DKEY=key.pem [-DPASSWORD_FILE=file]
#         -P cmake/sign.cmake
# CERT is the certificate (chain) in PEM or DER, KEY its private key. No timestamp
# server is asked: the signature carries no countersignature.
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
execute_process(
  COMMAND "${OSSLSIGNCODE}" sign -certs "${CERT}" -key "${KEY}" ${password}
          -n Halvern -h sha256 -in "${EXE}" -out "${EXE}.signed"
  RESULT_VARIABLE result OUTPUT_QUIET)
if(NOT result EQUAL 0)
  file(REMOVE "${EXE}.signed")
  message(FATAL_ERROR "sign.cmake: osslsigncode could not sign ${EXE}")
endif()
file(RENAME "${EXE}.signed" "${EXE}")
