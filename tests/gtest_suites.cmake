# Writes one CTest test per GoogleTest suite of a test program that runs through an emulator:
# starting wine for each test alone would cost more than most tests take.
# Usage: cmake -DEMULATOR=<wine64> -DPROGRAM=<korva_tests.exe> -DOUTPUT=<file> -DTIMEOUT=<s>
#              [-DEXCLUDE=<suite;...>] [-DFIXTURE=<name>] -P gtest_suites.cmake
# FIXTURE names a CTest fixture every suite needs (the wine server).
cmake_minimum_required(VERSION 3.25)
execute_process(COMMAND ${EMULATOR} ${PROGRAM} --gtest_list_tests
                OUTPUT_VARIABLE listing RESULT_VARIABLE rc TIMEOUT 120)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${PROGRAM} --gtest_list_tests failed: ${rc}")
endif()
# Brackets would group list elements; semicolons would split them.
string(REPLACE ";" "," listing "${listing}")
string(REPLACE "[" "<" listing "${listing}")
string(REPLACE "]" ">" listing "${listing}")
string(REPLACE "\n" ";" lines "${listing}")

# Suite lines start in the first column ("Suite." or "Instance/Suite.  # TypeParam = ...").
set(script "")
foreach(line IN LISTS lines)
  if(line MATCHES "^([A-Za-z0-9_/]+)\\.")
    set(suite ${CMAKE_MATCH_1})
    if(NOT suite IN_LIST EXCLUDE)
      string(APPEND script
             "add_test([==[${suite}]==] [==[${EMULATOR}]==] [==[${PROGRAM}]==] "
             "[==[--gtest_filter=${suite}.*]==])\n"
             "set_tests_properties([==[${suite}]==] PROPERTIES TIMEOUT ${TIMEOUT}")
      if(FIXTURE)
        string(APPEND script " FIXTURES_REQUIRED [==[${FIXTURE}]==] ENVIRONMENT WINEDEBUG=-all")
      endif()
      string(APPEND script ")\n")
    endif()
  endif()
endforeach()
file(WRITE ${OUTPUT} "${script}")
