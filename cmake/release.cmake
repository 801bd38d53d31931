# Run by CPack after zipping (CPACK_POST_BUILD_SCRIPTS): puts the zip, and the exe as
# it went into the zip, in the release folder beside those of the other Windows builds
# (win32/halvern.exe, win64/halvern.exe, arm64/halvern.exe), and writes SHA256SUMS, in
# the form that sha256sum -c reads, over this version's zips and the exes beside them:
# whatever else the folder holds, another version's zips say, is left out.
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
file(MAKE_DIRECTORY "${release}/${CPACK_SYSTEM_NAME}")
file(COPY ${CPACK_PACKAGE_FILES} DESTINATION "${release}")
file(COPY "${CPACK_TEMPORARY_DIRECTORY}/halvern.exe" DESTINATION "${release}/${CPACK_SYSTEM_NAME}")

# An exe is listed only beside its zip of this version, so that one left by another
# version's packing, under the same name, is not.
set(sums "")
foreach(system win32 win64 arm64)
  set(zip "${CPACK_PACKAGE_NAME}-${CPACK_PACKAGE_VERSION}-${system}.zip")
  if(EXISTS "${release}/${zip}")
    foreach(file "${zip}" "${system}/halvern.exe")
      file(SHA256 "${release}/${file}" hash)
      string(APPEND sums "${hash}  ${file}\n")
    endforeach()
  endif()
endforeach()
file(WRITE "${release}/SHA256SUMS" "${sums}")
message(STATUS "Release files and SHA256SUMS in ${release}")
