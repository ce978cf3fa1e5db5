# Writes the bash completion of tavro-companion-ctl with the selectors the program itself lists.
# Usage: cmake -DCTL=... -DTEMPLATE=... -DOUTPUT=... -P completion.cmake
execute_process(COMMAND ${CTL} describe OUTPUT_VARIABLE described RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${CTL} describe failed: ${status}")
endif()
# Each line: kind, then the selector, then its types; callbacks are not sent, so not completed.
string(REGEX MATCHALL "(call|oneway) +[^ \n(]+" entries "${described}")
set(selectors "")
foreach(entry IN LISTS entries)
  string(REGEX REPLACE "^(call|oneway) +" "" selector "${entry}")
  string(APPEND selectors " ${selector}")
endforeach()
string(STRIP "${selectors}" COMPANION_SELECTORS)
if(COMPANION_SELECTORS STREQUAL "")
  message(FATAL_ERROR "${CTL} describe listed no selector")
endif()
configure_file(${TEMPLATE} ${OUTPUT} @ONLY)
