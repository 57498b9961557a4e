# GoogleTest for the target, and how a test program is registered.

if(EXISTS /usr/src/googletest/CMakeLists.txt AND NOT MSVC)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
else()
  find_package(GTest REQUIRED)  # on Windows: vcpkg's or any installed GoogleTest
endif()

# Every test program's entry point: a crash fails the run with a message, whatever
# Wine's debugger makes of it.
add_library(quorvel_test_main STATIC ${CMAKE_CURRENT_LIST_DIR}/../tests/support/test_main.cpp
  ${CMAKE_CURRENT_LIST_DIR}/../tests/support/linux_program.cpp)
target_include_directories(quorvel_test_main PUBLIC ${CMAKE_CURRENT_LIST_DIR}/../tests)
target_link_libraries(quorvel_test_main PUBLIC GTest::gtest)

# A test program is one ctest test; GoogleTest reports each case inside it. Under
# Wine the prefix, display and server come from the environment (scripts/test.sh).
function(quorvel_add_gtest target)
  add_test(NAME ${target} COMMAND ${target} --gtest_color=no)
  # A crash that still slips through (in a thread before the filter, say) shows
  # in the output, which fails the test as well.
  set_tests_properties(${target} PROPERTIES TIMEOUT 300 LABELS "${ARGN}"
                       FAIL_REGULAR_EXPRESSION "CRASH: exception|wine: Unhandled|Unhandled exception")
  # The results, with what each test of faults and bad input tried, feed the table
  # in docs/reliability.md (tools/reliability/make-table.py).
  set(results "${CMAKE_BINARY_DIR}/test-results/${target}.xml")
  if(CMAKE_CROSSCOMPILING)
    # Under Wine the program needs the Windows form of the path: Z: is the Unix root.
    string(REPLACE "/" "\\" results "Z:${results}")
    set_tests_properties(${target} PROPERTIES ENVIRONMENT "WINEDEBUG=-all;GTEST_OUTPUT=xml:${results}")
  else()
    set_tests_properties(${target} PROPERTIES ENVIRONMENT "GTEST_OUTPUT=xml:${results}")
  endif()
endfunction()
