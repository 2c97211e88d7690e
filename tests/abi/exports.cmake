# The shared object exports the fifteen VEL_ functions and nothing else.
# -D LIBRARY=path
execute_process(COMMAND nm -D --defined-only ${LIBRARY} OUTPUT_VARIABLE out RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()
string(REGEX MATCHALL "[^\n]+" lines "${out}")
set(names)
foreach(line IN LISTS lines)
  string(REGEX REPLACE "^[0-9a-fA-F]* *[A-Za-z] " "" name "${line}")
  list(APPEND names ${name})
endforeach()
list(SORT names)
set(expected VEL_CalibrationDate VEL_CreateProbe VEL_Firmware VEL_Model VEL_ProbeName
    VEL_ReadAxisField VEL_ReadBattery VEL_ReadTemperature VEL_ReadTotalField VEL_RemoveProbe
    VEL_SerialNumber VEL_SetAutoOffTime VEL_SetFilter VEL_SetFrequency VEL_SetTimeout)
if(NOT names STREQUAL expected)
  message(FATAL_ERROR "exported: ${names}\nexpected: ${expected}")
endif()
message(STATUS "exports: the fifteen VEL_ functions")
