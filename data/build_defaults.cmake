# Builds the default databases with nerlo-sigtool and places them, with readme.txt, in OUT_DIR.
# Called by the build with SIGTOOL, SOURCE_DIR, SAMPLE_DIR and OUT_DIR set.
include("${SOURCE_DIR}/make_samples.cmake")
nerlo_write_samples("${SAMPLE_DIR}")

# The heuristic strings: the test file's text (a backslash escaped for the list format), then
# the strings of heuristics.txt.
file(READ "${SAMPLE_DIR}/eicar.com" eicar)
string(REPLACE "\\" "\\\\" eicar "${eicar}")
file(READ "${SOURCE_DIR}/heuristics.txt" extra)
file(WRITE "${SAMPLE_DIR}/heuristics.list" "${eicar}\n${extra}")

set(stage "${SAMPLE_DIR}/databases")
file(REMOVE_RECURSE "${stage}")
file(MAKE_DIRECTORY "${stage}")
foreach(args IN ITEMS "hash;${SAMPLE_DIR}/eicar.com"
                      "windows;${SAMPLE_DIR}/window-sample.txt"
                      "heuristics;${SAMPLE_DIR}/heuristics.list")
  execute_process(COMMAND "${SIGTOOL}" --db-dir "${stage}" ${args} RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "nerlo-sigtool ${args} failed (${status})")
  endif()
endforeach()

file(MAKE_DIRECTORY "${OUT_DIR}")
foreach(db IN ITEMS database.db tdb.ldb heuristics.db)
  file(COPY_FILE "${stage}/${db}" "${OUT_DIR}/${db}")
endforeach()
file(COPY_FILE "${SOURCE_DIR}/readme.txt" "${OUT_DIR}/readme.txt")
