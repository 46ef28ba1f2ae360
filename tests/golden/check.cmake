# Runs vendrix-sim on one golden program and compares the transcript it
# writes with the stored one, byte for byte. With VENDRIX_UPDATE_GOLDEN set
# in the environment the stored transcript is replaced instead.
#   cmake -DSIM=vendrix-sim -DPROGRAM=tests/golden/x.nc -DOUT=out/x.transcript -P check.cmake
# A file NAME.args beside the program holds extra options.
get_filename_component(dir "${PROGRAM}" DIRECTORY)
get_filename_component(name "${PROGRAM}" NAME_WE)
get_filename_component(ext "${PROGRAM}" LAST_EXT)
set(expected "${dir}/${name}.transcript")
set(args)
if(EXISTS "${dir}/${name}.args")
  file(READ "${dir}/${name}.args" extra)
  string(STRIP "${extra}" extra)
  separate_arguments(extra UNIX_COMMAND "${extra}")
  list(APPEND args ${extra})
endif()
if(ext STREQUAL ".deltas")
  list(APPEND args --deltas "${PROGRAM}")
else()
  list(APPEND args "${PROGRAM}")
endif()
get_filename_component(outdir "${OUT}" DIRECTORY)
file(MAKE_DIRECTORY "${outdir}")
execute_process(COMMAND "${SIM}" --no-progress --transcript "${OUT}" ${args}
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "vendrix-sim exited with ${rc}\n${out}${err}")
endif()
if(DEFINED ENV{VENDRIX_UPDATE_GOLDEN})
  execute_process(COMMAND "${CMAKE_COMMAND}" -E copy "${OUT}" "${expected}")
  message(STATUS "updated ${expected}")
  return()
endif()
execute_process(COMMAND "${CMAKE_COMMAND}" -E compare_files "${expected}" "${OUT}" RESULT_VARIABLE differ)
if(NOT differ EQUAL 0)
  # The diff goes straight to the output: message() would rewrap its lines.
  execute_process(COMMAND diff -u "${expected}" "${OUT}" ERROR_QUIET)
  message(FATAL_ERROR "What goes on the wire for ${name} has changed (the diff is above).\n"
          "If the change is intended, refresh the stored transcripts with\n"
          "  VENDRIX_UPDATE_GOLDEN=1 ctest --test-dir build/native -R golden\n"
          "and review the diff before committing it.")
endif()
