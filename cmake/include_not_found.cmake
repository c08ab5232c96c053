# cmake -DCXX=... -DINCLUDES=dir;dir... -DHEADER=h -DSCRATCH=dir -P include_not_found.cmake
# Passes when a file including HEADER fails to compile for that header's absence, and only then.
file(MAKE_DIRECTORY "${SCRATCH}")
string(MAKE_C_IDENTIFIER "${HEADER}" id)
set(source "${SCRATCH}/${id}.cpp")
file(WRITE "${source}" "#include \"${HEADER}\"\n")
set(flags "")
foreach(dir IN LISTS INCLUDES)
  list(APPEND flags "-I${dir}")
endforeach()
execute_process(COMMAND "${CXX}" -std=c++20 -fsyntax-only ${flags} "${source}"
                RESULT_VARIABLE result ERROR_VARIABLE errors)
if(result EQUAL 0)
  message(FATAL_ERROR "\"${HEADER}\" is reachable with: ${INCLUDES}")
endif()
if(NOT errors MATCHES "No such file or directory|file not found")
  message(FATAL_ERROR "compiling an include of \"${HEADER}\" failed for another reason:\n${errors}")
endif()
