# Run by CPack between staging the files and zipping them (CPACK_PRE_BUILD_SCRIPTS).
#
# The zip is reproducible: every file in it gets the same time, SOURCE_DATE_EPOCH
# (taken from the environment, or else the time of the commit checked out now, as it
# is packed; 1980-01-01, the zip format's first day, for sources that are no checkout),
# in UTC. A checkout whose commit git will not read (git refuses a folder another user
# owns, say) stops the packing: a zip dated 1980 would differ from every rebuild. When
# the build was told of a certificate and its key, halvern.exe is signed here, before
# it is zipped.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  set(epoch 315532800)
  if(EXISTS "${CPACK_HALVERN_SOURCE_DIR}/.git")
    execute_process(COMMAND git log -1 --format=%ct
                    WORKING_DIRECTORY "${CPACK_HALVERN_SOURCE_DIR}"
                    OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE
                    ERROR_VARIABLE why ERROR_STRIP_TRAILING_WHITESPACE
                    RESULT_VARIABLE git_failed)
    if(git_failed OR NOT epoch MATCHES "^[0-9]+$")
      if(NOT why)
        set(why "${git_failed}")
      endif()
      message(FATAL_ERROR "The commit's time, for the zip, cannot be read from "
                          "${CPACK_HALVERN_SOURCE_DIR}: git log says: ${why}")
    endif()
  endif()
  set(ENV{SOURCE_DATE_EPOCH} "${epoch}")
endif()
set(ENV{TZ} UTC)

foreach(name CERT KEY PASSWORD_FILE TIMESTAMP_URL)
  set(${name} "${CPACK_HALVERN_SIGN_${name}}")
  if(NOT ${name} AND DEFINED ENV{HALVERN_SIGN_${name}})
    set(${name} "$ENV{HALVERN_SIGN_${name}}")
  endif()
endforeach()
if(CERT OR KEY)
  if(NOT CERT OR NOT KEY)
    message(FATAL_ERROR "Signing needs both HALVERN_SIGN_CERT and HALVERN_SIGN_KEY")
  endif()
  set(EXE "${CPACK_TEMPORARY_DIRECTORY}/halvern.exe")
  include("${CMAKE_CURRENT_LIST_DIR}/sign.cmake")
  message(STATUS "Signed ${EXE}")
  # The readme beside it says so. (file(READ) gives its lines without their CRs.)
  set(readme "${CPACK_TEMPORARY_DIRECTORY}/README.txt")
  file(READ "${readme}" text)
  string(REPLACE "This halvern.exe is not signed."
         "This halvern.exe is signed: right-click it, Properties, Digital Signatures shows by whom."
         text "${text}")
  file(CONFIGURE OUTPUT "${readme}" CONTENT "${text}" @ONLY NEWLINE_STYLE CRLF)
endif()
