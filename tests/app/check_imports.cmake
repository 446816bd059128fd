cmake_minimum_required(VERSION 3.25)

# Fails unless the executable EXE imports Windows system DLLs only:
#   cmake -DOBJDUMP=<objdump> -DEXE=<fennick.exe> -P check_imports.cmake
set(kSystemDlls advapi32.dll bcrypt.dll crypt32.dll kernel32.dll msvcrt.dll ole32.dll
                version.dll winmm.dll ws2_32.dll)
execute_process(COMMAND ${OBJDUMP} -p ${EXE} OUTPUT_VARIABLE headers RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cannot read the import table of ${EXE}")
endif()
string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${headers}")
if(NOT imports)
  message(FATAL_ERROR "${EXE} imports nothing: the table was not read")
endif()
foreach(line IN LISTS imports)
  string(REPLACE "DLL Name: " "" dll "${line}")
  string(TOLOWER "${dll}" dll)
  if(NOT dll IN_LIST kSystemDlls)
    message(FATAL_ERROR "${EXE} imports ${dll}, which Windows does not ship")
  endif()
  message(STATUS "imports ${dll}")
endforeach()
