# Tests that run the Windows programs this build makes. A 64-bit build's run on every machine; a
# 32-bit build's need Wine 10's WoW64 route (tools/wine/runs-32bit-code decides), and where it cannot
# run they are reported skipped, with the reason: never passed, never failed.
set(RUNS_32BIT_CODE ${PROJECT_SOURCE_DIR}/tools/wine/runs-32bit-code)
set(RUNS_WINDOWS_CODE ON)
if(WINDOWS_BITS EQUAL 32)
  execute_process(COMMAND ${RUNS_32BIT_CODE} RESULT_VARIABLE status OUTPUT_QUIET)
  if(NOT status EQUAL 0)
    set(RUNS_WINDOWS_CODE OFF)
  endif()
endif()

# add_windows_test(NAME name COMMAND command...): add_test for a command that runs code this
# build made. In a 32-bit build the command is asked again at run time, so a test is skipped
# exactly when the machine it runs on cannot run it.
function(add_windows_test)
  cmake_parse_arguments(PARSE_ARGV 0 test "" "NAME" "COMMAND")
  if(WINDOWS_BITS EQUAL 32)
    add_test(NAME ${test_NAME} COMMAND ${RUNS_32BIT_CODE} --or-skip ${test_COMMAND})
    set_tests_properties(${test_NAME} PROPERTIES SKIP_RETURN_CODE 77)
  else()
    add_test(NAME ${test_NAME} COMMAND ${test_COMMAND})
  endif()
endfunction()
