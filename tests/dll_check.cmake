# Fails unless the DLL's export table names exactly the seven driver functions (undecorated), its
# only imports from ZUNPRO.DLL are the six host services, and every DLL it imports from is one a
# host machine has: KERNEL32, the C runtime, WS2_32 and ZUNPRO (the C++ runtime and threads
# library are linked in).
# Usage: cmake -DOBJDUMP=<objdump> -DLIBRARY=<KORVA.DLL> -P dll_check.cmake
cmake_minimum_required(VERSION 3.25)
execute_process(COMMAND ${OBJDUMP} -p ${LIBRARY} OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p failed on ${LIBRARY}")
endif()
# Brackets would group list elements; semicolons would split them.
string(REPLACE ";" "," dump "${dump}")
string(REPLACE "[" "<" dump "${dump}")
string(REPLACE "]" ">" dump "${dump}")
string(REPLACE "\n" ";" lines "${dump}")

# The export names follow "<Ordinal/Name Pointer> Table", the imports of each DLL its
# "DLL Name:" line; a blank line ends either list.
set(exports "")
set(dlls "")
set(section "")
foreach(line IN LISTS lines)
  if(line MATCHES "^<Ordinal/Name Pointer> Table")
    set(section exports)
  elseif(line MATCHES "^\tDLL Name: (.+)$")
    string(TOUPPER "${CMAKE_MATCH_1}" dll)
    list(APPEND dlls ${dll})
    set(imports_${dll} "")
    set(section imports)
  elseif(line STREQUAL "")
    set(section "")
  elseif(section STREQUAL "exports" AND line MATCHES "^\t<[ 0-9]+> (.+)$")
    list(APPEND exports "${CMAKE_MATCH_1}")
  elseif(section STREQUAL "imports" AND line MATCHES "^\t[0-9a-fA-F]+\t +[0-9]+ +(.+)$")
    list(APPEND imports_${dll} "${CMAKE_MATCH_1}")
  endif()
endforeach()

set(failures "")
list(SORT exports)
set(expected KORVA_Connect KORVA_Disconnect KORVA_Flush KORVA_Receive KORVA_Send KORVA_Timeout VpiMain)
if(NOT exports STREQUAL expected)
  string(APPEND failures "exported: ${exports}\nexpected: ${expected}\n")
endif()

set(services ZunGetGateIdByAddressStr ZunMkClient ZunPutGateVal ZunRmClient ZunWaitMsg err)
set(zunpro "${imports_ZUNPRO.DLL}")
list(SORT zunpro)
if(NOT zunpro STREQUAL services)
  string(APPEND failures "imported from ZUNPRO.DLL: ${zunpro}\nexpected: ${services}\n")
endif()

set(allowed KERNEL32.DLL MSVCRT.DLL WS2_32.DLL ZUNPRO.DLL)
foreach(dll IN LISTS dlls)
  if(NOT dll IN_LIST allowed)
    string(APPEND failures "imports from ${dll} (allowed: ${allowed})\n")
  endif()
endforeach()

if(failures)
  message(FATAL_ERROR "${LIBRARY}:\n${failures}")
endif()
message(STATUS "${LIBRARY}: exports ${exports}; imports from ${dlls}")
