# Run by CPack after zipping (CPACK_POST_BUILD_SCRIPTS): puts the zip in the release
# folder beside those of the other Windows builds, writes the build record, and writes
# SHA256SUMS, in the form that sha256sum -c reads, over this version's zips and the
# record: whatever else the folder holds, another version's zips say, is left out. The
# folder is flat and its names are the published ones, so that SHA256SUMS checks a
# folder of downloads as it checks this one (doc/releasing.md, What a release holds).
#
# First the zip is made again, its files in order of name: CPack adds them in the order
# the file system lists the staging folder, which differs from one file system to the
# next, and so would the zip's bytes. SOURCE_DATE_EPOCH and TZ, set by package.cmake,
# give every file the same times, as they do in CPack's own zip.
file(GLOB staged RELATIVE "${CPACK_TEMPORARY_DIRECTORY}" "${CPACK_TEMPORARY_DIRECTORY}/*")
list(SORT staged)
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  execute_process(
    COMMAND "${CMAKE_COMMAND}" -E tar cf "${package}" --format=zip -- ${staged}
    WORKING_DIRECTORY "${CPACK_TEMPORARY_DIRECTORY}" RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "Could not make ${package} again")
  endif()
endforeach()

set(release "${CPACK_HALVERN_RELEASE_DIR}")
file(COPY ${CPACK_PACKAGE_FILES} DESTINATION "${release}")

# build-record.txt: this build's toolchain versions, in place of any earlier ones for
# the same system, beside those of the other systems packed.
execute_process(
  COMMAND bash "${CPACK_HALVERN_SOURCE_DIR}/cmake/build-record.sh" "${CPACK_SYSTEM_NAME}"
          ${CPACK_HALVERN_AARCH64_RUNTIME}
  OUTPUT_VARIABLE record RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "Could not read the versions of the ${CPACK_SYSTEM_NAME} toolchain")
endif()
set(earlier "")
if(EXISTS "${release}/build-record.txt")
  file(STRINGS "${release}/build-record.txt" earlier REGEX "^[a-z0-9]+ ")
endif()

# A system's record is kept only beside its zip of this version, so that one left by
# another version's packing is not.
set(sums "")
set(records "")
foreach(system win32 win64 arm64)
  set(zip "${CPACK_PACKAGE_NAME}-${CPACK_PACKAGE_VERSION}-${system}.zip")
  if(EXISTS "${release}/${zip}")
    file(SHA256 "${release}/${zip}" hash)
    string(APPEND sums "${hash}  ${zip}\n")
    if(NOT system STREQUAL CPACK_SYSTEM_NAME)
      set(lines "${earlier}")
      list(FILTER lines INCLUDE REGEX "^${system} ")
      list(TRANSFORM lines APPEND "\n")
      string(APPEND records ${lines})
    else()
      string(APPEND records "${record}")
    endif()
  endif()
endforeach()
file(WRITE "${release}/build-record.txt"
  "# The Debian package versions each exe of halvern ${CPACK_PACKAGE_VERSION} was built with,\n"
  "# one \"SYSTEM PACKAGE VERSION\" a line. Compare a host's with them before rebuilding:\n"
  "# bash tests/reproducible.sh --versions build-record.txt\n"
  "${records}")
file(SHA256 "${release}/build-record.txt" hash)
string(APPEND sums "${hash}  build-record.txt\n")
file(WRITE "${release}/SHA256SUMS" "${sums}")
message(STATUS "Release files and SHA256SUMS in ${release}")
