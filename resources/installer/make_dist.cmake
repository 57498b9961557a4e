# Run by target dist (cmake -P): stages the release's files, zips them, builds the
# installer, and writes a SHA-256 file beside each artefact. Every failure stops it.

foreach(name MAKENSIS SCRIPT INPUTS ICON STAGE ZIP SETUP VERSION VERSION_MAJOR VERSION_MINOR)
  if(NOT DEFINED ${name} OR "${${name}}" STREQUAL "")
    message(FATAL_ERROR "make_dist.cmake needs -D${name}=...")
  endif()
endforeach()

# Old artefacts go first: after a failure none is left that looks current.
file(REMOVE ${ZIP} ${ZIP}.sha256 ${SETUP} ${SETUP}.sha256)
file(REMOVE_RECURSE ${STAGE})
file(MAKE_DIRECTORY ${STAGE})
get_filename_component(_dist_dir ${ZIP} DIRECTORY)
file(MAKE_DIRECTORY ${_dist_dir})

# The stage holds exactly the release's files, under the names a user sees.
string(REPLACE "|" ";" INPUTS "${INPUTS}")
set(_names "")
foreach(_input IN LISTS INPUTS)
  if(NOT EXISTS ${_input})
    message(FATAL_ERROR "dist: ${_input} is missing")
  endif()
  get_filename_component(_name ${_input} NAME)
  file(COPY_FILE ${_input} ${STAGE}/${_name})
  list(APPEND _names ${_name})
endforeach()

# The build keeps its debug information; users get the programs without it (a
# seventh of the size, and no build machine's paths inside). A stripped header is
# dated when its program was built, not when it was packed.
if(STRIP)
  foreach(_input IN LISTS INPUTS)
    get_filename_component(_name ${_input} NAME)
    if(NOT _name MATCHES "\\.exe$")
      continue()
    endif()
    file(TIMESTAMP ${_input} _built "%s" UTC)
    execute_process(COMMAND ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${_built}
                            ${STRIP} --strip-all ${STAGE}/${_name}
                    COMMAND_ERROR_IS_FATAL ANY)
  endforeach()
endif()

execute_process(
  COMMAND ${CMAKE_COMMAND} -E tar cf ${ZIP} --format=zip -- ${_names}
  WORKING_DIRECTORY ${STAGE}
  COMMAND_ERROR_IS_FATAL ANY)

set(_warnings_fatal "")
if(WERROR)
  set(_warnings_fatal -WX)
endif()
execute_process(
  COMMAND ${MAKENSIS} -V2 ${_warnings_fatal} -INPUTCHARSET UTF8
          -DQUORVEL_VERSION=${VERSION}
          -DQUORVEL_VERSION_MAJOR=${VERSION_MAJOR}
          -DQUORVEL_VERSION_MINOR=${VERSION_MINOR}
          -DQUORVEL_STAGE=${STAGE}
          -DQUORVEL_ICON=${ICON}
          -DQUORVEL_OUTFILE=${SETUP}
          ${SCRIPT}
  COMMAND_ERROR_IS_FATAL ANY)

foreach(_artefact ${ZIP} ${SETUP})
  file(SHA256 ${_artefact} _hash)
  get_filename_component(_name ${_artefact} NAME)
  file(WRITE ${_artefact}.sha256 "${_hash}  ${_name}\n")
  file(SIZE ${_artefact} _size)
  message(STATUS "${_artefact}: ${_size} bytes")
endforeach()
