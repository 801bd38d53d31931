# Run by CPack between staging the files and zipping them (CPACK_PRE_BUILD_SCRIPTS).
#
# The zip is reproducible: every file in it gets the same time, SOURCE_DATE_EPOCH
# (taken from the environment, or else the commit's time that the build recorded), in
# UTC. When the build was told of a certificate and its key, halvern.exe is signed
# here, before it is zipped.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  set(ENV{SOURCE_DATE_EPOCH} "${CPACK_HALVERN_SOURCE_DATE_EPOCH}")
endif()
set(ENV{TZ} UTC)

set(exe "${CPACK_TEMPORARY_DIRECTORY}/halvern.exe")
set(cert "${CPACK_HALVERN_SIGN_CERT}")
set(key "${CPACK_HALVERN_SIGN_KEY}")
set(password_file "${CPACK_HALVERN_SIGN_PASSWORD_FILE}")
foreach(name cert key password_file)
  string(TOUPPER "HALVERN_SIGN_${name}" variable)
  if(NOT ${name} AND DEFINED ENV{${variable}})
    set(${name} "$ENV{${variable}}")
  endif()
endforeach()
if(cert OR key)
  if(NOT cert OR NOT key)
    message(FATAL_ERROR "Signing needs both HALVERN_SIGN_CERT and HALVERN_SIGN_KEY")
  endif()
  set(EXE "${exe}")
  set(CERT "${cert}")
  set(KEY "${key}")
  set(PASSWORD_FILE "${password_file}")
  include("${CMAKE_CURRENT_LIST_DIR}/sign.cmake")
  message(STATUS "Signed ${exe}")
endif()
