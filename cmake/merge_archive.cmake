# Merges static archives into one: cmake -DOUTPUT=out.a -DAR=ar
# -DINPUTS="a.a;b.a" -P merge_archive.cmake. The result carries every member
# of every input, so a caller links one archive instead of several.
set(script "CREATE ${OUTPUT}.tmp\n")
foreach(lib IN LISTS INPUTS)
  string(APPEND script "ADDLIB ${lib}\n")
endforeach()
string(APPEND script "SAVE\nEND\n")
file(WRITE ${OUTPUT}.mri "${script}")
file(REMOVE ${OUTPUT}.tmp)
execute_process(COMMAND ${AR} -M INPUT_FILE ${OUTPUT}.mri RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${AR} -M failed to merge ${INPUTS}")
endif()
file(RENAME ${OUTPUT}.tmp ${OUTPUT})
