# Writes the demonstration samples into a folder:
#   eicar.com          the standard anti-virus test file (68 bytes), put together from pieces
#                      so that the repository itself never holds it
#   window-sample.txt  a harmless text whose eight byte windows the default window database
#                      holds
function(nerlo_write_samples dir)
  file(MAKE_DIRECTORY "${dir}")
  set(piece1 "X5O!P%@AP[4")
  set(piece2 "\\PZX54(P^)7CC)7}")
  set(piece3 "$EICAR-STANDARD-")
  set(piece4 "ANTIVIRUS-TEST-")
  set(piece5 "FILE!$H+H*")
  file(WRITE "${dir}/eicar.com" "${piece1}${piece2}${piece3}${piece4}${piece5}")
  file(MD5 "${dir}/eicar.com" md5)
  if(NOT md5 STREQUAL "44d88612fea8a8f36de82e1278abb02f")
    message(FATAL_ERROR "the test file came out wrong (MD5 ${md5})")
  endif()

  set(text "")
  foreach(line RANGE 1 40)
    string(APPEND text "Nerlo window demonstration sample, line ${line} of 40.\n")
  endforeach()
  file(WRITE "${dir}/window-sample.txt" "${text}")
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  if(NOT DEFINED OUT_DIR)
    message(FATAL_ERROR "usage: cmake -DOUT_DIR=<folder> -P make_samples.cmake")
  endif()
  nerlo_write_samples("${OUT_DIR}")
endif()
