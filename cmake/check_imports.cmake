# Fails the build when the executable imports, directly, a DLL that a file
# beside it could stand in for.
#   cmake -DOBJDUMP=... -DEXE=... -DMANIFEST=... -P check_imports.cmake
#
# The loader resolves direct imports before any of the program's code runs,
# with the program's folder first in the search, except for:
# - the KnownDLLs, which Windows always maps from the system folder. The list
#   below is the set common to Windows 10 and 11 under the registry key
#   HKLM\SYSTEM\CurrentControlSet\Control\Session Manager\KnownDLLs, which
#   Microsoft's "Dynamic-link library search order" names as the list of known
#   DLLs (it publishes no fixed list of its own);
# - comctl32, which the manifest binds side by side (Common Controls 6).
# Delay imports are allowed: they are loaded at their first call, through
# the search that wWinMain limits to the system folder first thing
# (SetDefaultDllDirectories), so the executable must import that function.
# GNU ld leaves the delay import directory empty and objdump 2.40 prints no
# delay imports anyway: every "DLL Name" below is a direct import.
cmake_minimum_required(VERSION 3.21)

set(known_dlls
  advapi32 clbcatq combase comdlg32 coml2 difxapi gdi32 gdiplus imagehlp imm32
  kernel32 msctf msvcrt normaliz nsi ole32 oleaut32 psapi rpcrt4 sechost
  setupapi shcore shell32 shlwapi user32 wldap32 ws2_32)
set(side_by_side comctl32)

execute_process(COMMAND ${OBJDUMP} -p ${EXE} OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p ${EXE} failed")
endif()

function(dll_names text out)
  string(REGEX MATCHALL "DLL Name: [^\r\n]+" lines "${text}")
  set(names "")
  foreach(line IN LISTS lines)
    string(REGEX REPLACE "^DLL Name: +" "" name "${line}")
    string(TOLOWER "${name}" name)
    string(REGEX REPLACE "\\.dll$" "" name "${name}")
    list(APPEND names ${name})
  endforeach()
  set(${out} ${names} PARENT_SCOPE)
endfunction()
dll_names("${dump}" direct_dlls)

file(READ ${MANIFEST} manifest)
if(NOT manifest MATCHES "\"Microsoft\\.Windows\\.Common-Controls\"")
  set(side_by_side "")  # not bound by the manifest after all
endif()

set(unsafe "")
foreach(dll IN LISTS direct_dlls)
  if(NOT dll IN_LIST known_dlls AND NOT dll IN_LIST side_by_side)
    list(APPEND unsafe ${dll})
  endif()
endforeach()
# A refused executable is removed, so that no package takes it.
if(unsafe)
  list(JOIN unsafe ", " unsafe)
  file(REMOVE ${EXE})
  message(FATAL_ERROR "${EXE} imports ${unsafe} directly: neither a KnownDLL nor bound side by side, "
    "so a file of that name beside the program would be loaded into it. Delay-load it instead.")
endif()
if(NOT dump MATCHES "[ \t]SetDefaultDllDirectories[\r\n]")
  file(REMOVE ${EXE})
  message(FATAL_ERROR "${EXE} never calls SetDefaultDllDirectories: "
    "its delay-loaded DLLs would be searched for in the program's folder first.")
endif()
list(JOIN direct_dlls " " direct_dlls)
message(STATUS "Direct imports of ${EXE}, all the system's own: ${direct_dlls}")
