# Splice the reference sections into a manual page: the line ".\" REFERENCE SECTIONS" of PAGE
# becomes what TOOL prints; the result is written to OUTPUT.
# usage: cmake -DTOOL=... -DPAGE=... -DOUTPUT=... -P ManualReference.cmake
execute_process(COMMAND "${TOOL}" OUTPUT_VARIABLE reference RESULT_VARIABLE failed)
if(failed OR reference STREQUAL "")
  message(FATAL_ERROR "${TOOL} failed (${failed}) or printed nothing")
endif()
file(READ "${PAGE}" page)
set(marker ".\\\" REFERENCE SECTIONS\n")
string(FIND "${page}" "${marker}" at)
if(at EQUAL -1)
  message(FATAL_ERROR "${PAGE} has no line .\\\" REFERENCE SECTIONS")
endif()
string(REPLACE "${marker}" "${reference}" page "${page}")
file(WRITE "${OUTPUT}" "${page}")
