# nmb_add_gtest(NAME SOURCES src... [LIBS lib...] [LABELS label...] [EXPORTS])
#
# Declares a GoogleTest executable and registers it with CTest.  EXPORTS makes
# the executable export its symbols, so that a test host's functions are found
# by name exactly as a plug-in finds Nimbrel's.
function(nmb_add_gtest name)
  cmake_parse_arguments(ARG "EXPORTS" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  if(ARG_EXPORTS)
    set_target_properties(${name} PROPERTIES ENABLE_EXPORTS ON)
  endif()
  add_test(NAME ${name} COMMAND ${name})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 300)
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${ARG_TIMEOUT})
  if(ARG_LABELS)
    set_tests_properties(${name} PROPERTIES LABELS "${ARG_LABELS}")
  endif()
endfunction()
