cmake_minimum_required(VERSION 3.25)

# Fails unless the executable EXE imports exactly the Windows system DLLs below:
#   cmake -DOBJDUMP=<objdump> -DEXE=<fennick.exe> -P check_imports.cmake
# crypt32 checks certificates for Schannel (which libcurl loads from secur32 at run time),
# winhttp reads the user's proxy settings; the C and C++ runtimes are linked in.
set(kExpectedImports advapi32.dll bcrypt.dll crypt32.dll kernel32.dll msvcrt.dll ole32.dll
                     version.dll winhttp.dll ws2_32.dll)
execute_process(COMMAND ${OBJDUMP} -p ${EXE} OUTPUT_VARIABLE headers RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cannot read the import table of ${EXE}")
endif()
string(REGEX MATCHALL "DLL Name: [^\n]+" lines "${headers}")
set(imports)
foreach(line IN LISTS lines)
  string(REPLACE "DLL Name: " "" dll "${line}")
  string(TOLOWER "${dll}" dll)
  list(APPEND imports ${dll})
endforeach()
list(SORT imports)
if(NOT imports STREQUAL kExpectedImports)
  message(FATAL_ERROR "${EXE} imports: ${imports}\nexpected exactly: ${kExpectedImports}")
endif()
message(STATUS "imports ${imports}")
