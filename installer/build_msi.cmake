# Builds the Windows Installer package from kestrane.wxs: wixl (msitools)
# compiles it, then msibuild sets in the package what wixl 0.101 cannot write.
# The build's pack_installers.cmake includes it, with the variables below
# set, for the build and for scripts/sign.sh; the tests run it on its own,
# with another version, to make the next version of the package:
#
#   cmake -DKESTRANE_VERSION=1.0.0 -DKESTRANE_BITS=32 -DKESTRANE_EXE=... \
#         -DKESTRANE_LOCATION_EXE=... -DKESTRANE_ICON=... -DKESTRANE_DONE_FILE=... \
#         -DKESTRANE_MSI=.../kestrane-1.0.0.msi -P installer/build_msi.cmake
#
# Every path is absolute. wixl, msibuild and msiinfo are found on PATH unless
# WIXL, MSIBUILD and MSIINFO name them.
cmake_minimum_required(VERSION 3.25)

foreach(variable KESTRANE_VERSION KESTRANE_BITS KESTRANE_EXE KESTRANE_LOCATION_EXE KESTRANE_ICON
                 KESTRANE_DONE_FILE KESTRANE_MSI)
  if(NOT DEFINED ${variable})
    message(FATAL_ERROR "build_msi.cmake needs -D${variable}=...")
  endif()
endforeach()
foreach(tool WIXL MSIBUILD MSIINFO)
  if(NOT ${tool})
    string(TOLOWER ${tool} name)
    find_program(${tool} ${name} REQUIRED)
  endif()
endforeach()

if(KESTRANE_BITS EQUAL 64)
  set(architecture x64)
  # msidbComponentAttributes64bit
  set(component_kind 256)
else()
  set(architecture x86)
  set(component_kind 0)
endif()

# wixl takes its source files by paths relative to the folder it runs in.
get_filename_component(work_dir ${KESTRANE_MSI} DIRECTORY)
set(defines)
foreach(pair Version:KESTRANE_VERSION Bits:KESTRANE_BITS KestraneExe:KESTRANE_EXE
             LocationExe:KESTRANE_LOCATION_EXE Icon:KESTRANE_ICON DoneFile:KESTRANE_DONE_FILE)
  string(REPLACE ":" ";" pair ${pair})
  list(GET pair 0 define)
  list(GET pair 1 variable)
  set(value ${${variable}})
  if(IS_ABSOLUTE ${value})
    file(RELATIVE_PATH value ${work_dir} ${value})
  endif()
  list(APPEND defines -D ${define}=${value})
endforeach()

# Runs a tool in that folder and stops on its failure, with what it said.
# Its output is left in the variable output.
macro(run)
  execute_process(COMMAND ${ARGN} WORKING_DIRECTORY ${work_dir} RESULT_VARIABLE status
                  OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${ARGV0} failed (${status}):\n${output}")
  endif()
endmacro()

# wixl says "unimplemented" of the shortcut, which it would write as an
# advertised one and which is made a plain one below; its output is shown
# only when it fails.
file(REMOVE ${KESTRANE_MSI})
run(${WIXL} --arch ${architecture} ${defines} --output ${KESTRANE_MSI} ${CMAKE_CURRENT_LIST_DIR}/kestrane.wxs)

# What wixl cannot write:
# - the data folder's component is permanent (an uninstall leaves C:\Kestrane
#   and done.txt) and never overwrites a done.txt that is there
#   (msidbComponentAttributesPermanent 16, NeverOverwrite 128);
# - the Start-menu shortcut points at kestrane.exe itself, like the NSIS
#   installer's, rather than at the feature: starting it so never makes
#   Windows Installer repair the installation, which would put a default
#   done.txt back where the location has removed its own;
# - LOCATIONREG reaches the deferred action that imports it also when the
#   installation is elevated from a user's session: a secure property.
run(${MSIINFO} export ${KESTRANE_MSI} Property)
if(NOT output MATCHES "\nSecureCustomProperties\t([^\r\n]*)")
  message(FATAL_ERROR "wixl wrote no SecureCustomProperties in ${KESTRANE_MSI}")
endif()
set(secure_properties "${CMAKE_MATCH_1};LOCATIONREG")
math(EXPR data_folder_attributes "16 + 128 + ${component_kind}")
# The list of secure properties is one argument, semicolons and all, as
# only a quoted argument written out here keeps it.
execute_process(
  COMMAND ${MSIBUILD} ${KESTRANE_MSI}
    -q "UPDATE `Component` SET `Attributes` = ${data_folder_attributes} WHERE `Component` = 'DataFolder'"
    -q "UPDATE `Shortcut` SET `Target` = '[#KestraneExe]' WHERE `Shortcut` = 'StartMenuShortcut'"
    -q "UPDATE `Property` SET `Value` = '${secure_properties}' WHERE `Property` = 'SecureCustomProperties'"
  RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${MSIBUILD} failed (${status}):\n${output}")
endif()
