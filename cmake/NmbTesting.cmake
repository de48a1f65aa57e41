include(GoogleTest)

# nmb_add_gtest(NAME SOURCES src... [LIBS lib...] [LABELS label...] [TIMEOUT seconds] [EXPORTS])
#
# Declares a GoogleTest executable and registers each of its cases with CTest
# as NAME.Suite.Case, so that a failure names the case.  EXPORTS makes the
# executable export its symbols, so that a test host's functions are found by
# name exactly as a plug-in finds Nimbrel's.  TIMEOUT (default 300 s) bounds
# each case.
#
# The cases of one executable run one at a time (a lock named after it), as
# they did inside the one process, since they may share a port or a file;
# different executables run in parallel.  The cases are listed when the tests
# run (PRE_TEST), inside the private network the tests run in, so building
# never starts a test program.
function(nmb_add_gtest name)
  cmake_parse_arguments(ARG "EXPORTS" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  if(ARG_EXPORTS)
    set_target_properties(${name} PROPERTIES ENABLE_EXPORTS ON)
  endif()
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 300)
  endif()
  gtest_discover_tests(${name}
    TEST_PREFIX "${name}."
    TEST_LIST ${name}_cases
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 120
    PROPERTIES TIMEOUT ${ARG_TIMEOUT} RESOURCE_LOCK ${name})
  # The labels are set once the cases are known, by a file CTest reads after
  # the discovery's: gtest_discover_tests would pass a list of labels on as
  # separate values.
  if(ARG_LABELS)
    set(labels_file ${CMAKE_CURRENT_BINARY_DIR}/${name}_labels.cmake)
    file(WRITE ${labels_file}
         "if(${name}_cases)\n  set_tests_properties(\${${name}_cases} PROPERTIES LABELS \"${ARG_LABELS}\")\nendif()\n")
    set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${labels_file})
  endif()
endfunction()
