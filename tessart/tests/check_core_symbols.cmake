# Fails unless every symbol the tree core leaves undefined is one of a few libc functions the
# compiler may call on its own: anything else would pull the C++ runtime or libm into the module.
# Usage: cmake -DNM=<nm> -DLIBRARY=<libtessart_core.a> -P check_core_symbols.cmake
cmake_policy(SET CMP0057 NEW)  # if(... IN_LIST ...); a script starts with old policies
execute_process(COMMAND ${NM} -u --format=just-symbols ${LIBRARY}
                OUTPUT_VARIABLE symbols RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${NM} failed on ${LIBRARY}")
endif()
string(REGEX REPLACE "[\r\n]+" ";" symbols "${symbols}")
set(allowed memcpy memmove memset)
set(unexpected "")
foreach(symbol IN LISTS symbols)
  if(symbol AND NOT symbol IN_LIST allowed AND NOT symbol MATCHES ":$")
    list(APPEND unexpected ${symbol})
  endif()
endforeach()
if(unexpected)
  message(FATAL_ERROR "tree core needs symbols outside libc: ${unexpected}")
endif()
message(STATUS "tree core needs no library symbols beyond: ${allowed}")
