# Splice the reference sections into a manual page: the line ".\" REFERENCE SECTIONS" of PAGE
# becomes what TOOL prints, the line ".\" EVENT TABLE" what "TOOL events" prints; the result is
# written to OUTPUT.
# usage: cmake -DTOOL=... -DPAGE=... -DOUTPUT=... -P ManualReference.cmake

# Put what TOOL prints with ARGN in place of the line ".\" MARKER" of page.
function(splice marker)
  execute_process(COMMAND "${TOOL}" ${ARGN} OUTPUT_VARIABLE text RESULT_VARIABLE failed)
  if(failed OR text STREQUAL "")
    message(FATAL_ERROR "${TOOL} ${ARGN} failed (${failed}) or printed nothing")
  endif()
  set(line ".\\\" ${marker}\n")
  string(FIND "${page}" "${line}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "${PAGE} has no line .\\\" ${marker}")
  endif()
  string(REPLACE "${line}" "${text}" spliced "${page}")
  set(page "${spliced}" PARENT_SCOPE)
endfunction()

file(READ "${PAGE}" page)
splice("REFERENCE SECTIONS")
splice("EVENT TABLE" events)
file(WRITE "${OUTPUT}" "${page}")
