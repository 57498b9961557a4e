# Compiles the help file in a scratch folder of the build tree and copies it to its place.
# Run by the quorvel_help target (CMakeLists.txt beside this file) as
#   cmake -DCHMCMD=<chmcmd> -DSOURCE_DIR=<this folder> -DSTAGE_DIR=<scratch folder>
#         -DPROJECT=quorvel.hhp -DCHM_NAME=help.chm -DFILES=<a|b|c> -DOUTPUT=<.../help.chm>
#         -P build_chm.cmake
# FILES lists the project's files, relative to SOURCE_DIR, separated by "|".
#
# chmcmd writes its result next to the project and answers some errors (a missing
# contents file, a missing project) with exit code 0, so the result is judged here:
# a non-zero exit code, an "Error" line or a missing result fails the build.

foreach(var CHMCMD SOURCE_DIR STAGE_DIR PROJECT CHM_NAME FILES OUTPUT)
  if(NOT DEFINED ${var} OR "${${var}}" STREQUAL "")
    message(FATAL_ERROR "build_chm.cmake: ${var} is not set")
  endif()
endforeach()

# A fresh copy of the sources, so that the source tree stays clean and no stale file
# of an earlier build can be picked up by chmcmd's scan of the pages' links.
file(REMOVE_RECURSE "${STAGE_DIR}")
file(MAKE_DIRECTORY "${STAGE_DIR}")
string(REPLACE "|" ";" files "${FILES}")
foreach(f IN LISTS files)
  if(NOT EXISTS "${SOURCE_DIR}/${f}")
    message(FATAL_ERROR "help.chm: source file ${SOURCE_DIR}/${f} does not exist")
  endif()
  get_filename_component(sub "${f}" DIRECTORY)
  file(COPY "${SOURCE_DIR}/${f}" DESTINATION "${STAGE_DIR}/${sub}")
endforeach()

execute_process(
  COMMAND "${CHMCMD}" "${PROJECT}"
  WORKING_DIRECTORY "${STAGE_DIR}"
  RESULT_VARIABLE rc
  OUTPUT_VARIABLE out
  ERROR_VARIABLE err)

# Show what chmcmd says, less its banner and its notes.
set(failed FALSE)
string(REPLACE "\r" "" text "${out}\n${err}")
string(REPLACE ";" "," text "${text}")
string(REPLACE "\n" ";" lines "${text}")
foreach(line IN LISTS lines)
  string(STRIP "${line}" line)
  if(line STREQUAL "" OR line MATCHES "^Note:" OR line MATCHES "^chmcmd, a CHM compiler")
    continue()
  endif()
  if(line MATCHES "^Error" OR line MATCHES "exception")
    set(failed TRUE)
  endif()
  message("chmcmd: ${line}")
endforeach()

if(NOT rc EQUAL 0)
  message(FATAL_ERROR "help.chm: chmcmd failed (exit code ${rc})")
endif()
if(failed)
  message(FATAL_ERROR "help.chm: chmcmd reported errors")
endif()
if(NOT EXISTS "${STAGE_DIR}/${CHM_NAME}")
  message(FATAL_ERROR "help.chm: chmcmd produced no ${CHM_NAME}")
endif()

get_filename_component(out_dir "${OUTPUT}" DIRECTORY)
file(MAKE_DIRECTORY "${out_dir}")
file(COPY_FILE "${STAGE_DIR}/${CHM_NAME}" "${OUTPUT}")
message("help.chm: wrote ${OUTPUT}")
