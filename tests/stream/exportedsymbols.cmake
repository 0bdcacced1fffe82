# Fails unless the library's dynamic symbol table holds exactly the entry points that the public
# header declares. cmake -DNM=<nm> -DLIBRARY=<the .so> -DHEADER=<the .h> -P exportedsymbols.cmake
file(READ "${HEADER}" header)
# The comments name calls too ("zunGetVersion() gives ..."); only declarations count.
string(REGEX REPLACE "/\\*([^*]|\\*+[^*/])*\\*+/" "" header "${header}")
string(REGEX MATCHALL "zun[A-Za-z0-9_]+[ \t\r\n]*\\(" declared "${header}")
list(TRANSFORM declared REPLACE "[ \t\r\n]*\\($" "")
list(REMOVE_DUPLICATES declared)
if(NOT declared)
    message(FATAL_ERROR "no zun* declaration found in ${HEADER}")
endif()

execute_process(COMMAND "${NM}" -D --defined-only "${LIBRARY}"
    OUTPUT_VARIABLE table RESULT_VARIABLE result ERROR_VARIABLE error)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "${NM} -D --defined-only ${LIBRARY} failed: ${error}")
endif()
string(REGEX MATCHALL "[^\n]+" lines "${table}")
set(exported)
foreach(line IN LISTS lines)
    # "<address> <type> <name>[@version]"
    string(REGEX REPLACE "^.*[ \t]" "" name "${line}")
    string(REGEX REPLACE "@.*$" "" name "${name}")
    list(APPEND exported "${name}")
endforeach()

set(missing ${declared})
list(REMOVE_ITEM missing ${exported})
set(extra ${exported})
list(REMOVE_ITEM extra ${declared})
list(LENGTH declared declaredCount)
list(LENGTH exported exportedCount)
if(missing OR extra)
    list(JOIN missing "\n  " missing)
    list(JOIN extra "\n  " extra)
    message(FATAL_ERROR "${exportedCount} symbols exported for ${declaredCount} declared entry points\n"
        "declared, not exported:\n  ${missing}\nexported, not declared:\n  ${extra}")
endif()
message(STATUS "${exportedCount} symbols exported, the ${declaredCount} entry points of the header")
