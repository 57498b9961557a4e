# Rules the product's sources keep, checked on the files themselves.
#   cmake -DSOURCE_DIR=<checkout> -P check_source_rules.cmake
# Time reaches the program only through its clock module, so that the tests' clock
# is the only one the program sees. Libraries are loaded only through the module that
# takes them from the system folder, never by a bare name that the exe's own folder
# (one a user may write) would answer first.

set(product_folders core rules engine windows app)
set(clock_reads "GetTickCount|GetLocalTime|GetSystemTime|QueryPerformanceCounter|timeGetTime|std::chrono|[^a-zA-Z_]time[ ]*\\(")
set(clock_module core/clock.cpp)
set(library_loads "LoadLibrary(Ex)?[AW]?[ ]*\\(")
set(library_module core/system_library.cpp)

set(faults "")
foreach(folder IN LISTS product_folders)
  file(GLOB_RECURSE sources RELATIVE ${SOURCE_DIR} ${SOURCE_DIR}/${folder}/*.cpp ${SOURCE_DIR}/${folder}/*.h)
  foreach(source IN LISTS sources)
    file(STRINGS ${SOURCE_DIR}/${source} lines)
    set(number 0)
    foreach(line IN LISTS lines)
      math(EXPR number "${number} + 1")
      string(REGEX REPLACE "//.*$" "" code "${line}")
      if(NOT source STREQUAL clock_module AND code MATCHES "${clock_reads}")
        string(APPEND faults "  ${source}:${number}: reads the platform's clock: ${line}\n")
      endif()
      if(NOT source STREQUAL library_module AND code MATCHES "${library_loads}")
        string(APPEND faults "  ${source}:${number}: loads a library by itself: ${line}\n")
      endif()
    endforeach()
  endforeach()
endforeach()

if(faults)
  message(FATAL_ERROR "Only ${clock_module} reads the platform's clock, and only ${library_module} loads "
                      "libraries:\n${faults}")
endif()
message(STATUS "source rules hold")
