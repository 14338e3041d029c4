# Binds one bundled example with the 0xFF fill and requires Morvik-inspect
# to verify the result: cmake -DMORVIK=... -DINSPECT=... -DPAR=... -DOUT=... -P
execute_process(COMMAND ${MORVIK} -i ${PAR} -o ${OUT} -p 0xff RESULT_VARIABLE bound OUTPUT_VARIABLE trace)
if(NOT bound EQUAL 0 OR NOT trace MATCHES "DONE!\n$")
  message(FATAL_ERROR "binding ${PAR} failed (${bound}):\n${trace}")
endif()
execute_process(COMMAND ${INSPECT} --quiet ${OUT} RESULT_VARIABLE checked OUTPUT_VARIABLE report)
if(NOT checked EQUAL 0 OR NOT report MATCHES "^Summary: OK, everything verifies")
  message(FATAL_ERROR "Morvik-inspect rejects ${OUT} (${checked}):\n${report}")
endif()
