# Windows build: one self-contained kestrane.exe (static runtime, GUI
# subsystem), kestrane-location.exe, the installer, and for the tests the
# Windows layers' tests and the end-to-end rig's programs.

enable_language(RC)
add_compile_definitions(WIN32_LEAN_AND_MEAN NOMINMAX UNICODE _UNICODE _WIN32_WINNT=0x0A00)

add_library(kestrane_win32 STATIC
  common/win32_support.cpp
  common/local_files_win32.cpp
  common/system_clock_win32.cpp
  settings/registry_win32.cpp
  store/folder_check_win32.cpp
  store/folder_lock_win32.cpp
  common/program_end_win32.cpp
  device/rapi_device_win32.cpp
  ftp/wininet_ftp_client_win32.cpp
  ftp/ftp_client_choice_win32.cpp
  net/tcp_connection_win32.cpp
  net/tls_connection_win32.cpp
  net/certificate_check_win32.cpp
  net/schannel_transport_win32.cpp
)
target_link_libraries(kestrane_win32 PUBLIC kestrane_core wininet ws2_32 secur32 crypt32 bcrypt)

set(KESTRANE_GENERATED_DIR ${CMAKE_BINARY_DIR}/generated)
configure_file(app/kestrane_version.h.in ${KESTRANE_GENERATED_DIR}/kestrane_version.h @ONLY)
# The manifest names the program's own processor architecture: Windows
# refuses to start a program whose manifest names another kind.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(KESTRANE_MANIFEST_ARCHITECTURE x86)
else()
  set(KESTRANE_MANIFEST_ARCHITECTURE amd64)
endif()

# Gives a shipped program its application manifest, made from
# cmake/program.manifest.in as <target>.manifest, which the program's resource
# script rc embeds. Every program so runs as the user who starts it, with no
# virtualisation of its writes to Program Files or HKLM, and names every
# Windows it is made for. A program with a window (WINDOW) adds
# app/window.manifest.part: common controls 6 and per-monitor dpi awareness.
# The resource script also includes app/version_info.rc2, the version
# information every shipped program carries.
function(kestrane_program_manifest target rc identity description)
  cmake_parse_arguments(PARSE_ARGV 4 MANIFEST "WINDOW" "" "")
  set(KESTRANE_MANIFEST_NAME "${identity}")
  set(KESTRANE_MANIFEST_DESCRIPTION "${description}")
  set(KESTRANE_MANIFEST_WINDOW_PARTS "")
  if(MANIFEST_WINDOW)
    set(window_parts ${PROJECT_SOURCE_DIR}/app/window.manifest.part)
    file(READ ${window_parts} KESTRANE_MANIFEST_WINDOW_PARTS)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${window_parts})
  endif()
  set(manifest ${KESTRANE_GENERATED_DIR}/${target}.manifest)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/program.manifest.in ${manifest} @ONLY)
  target_include_directories(${target} PRIVATE ${KESTRANE_GENERATED_DIR})
  set_property(SOURCE ${rc} APPEND PROPERTY OBJECT_DEPENDS ${manifest} ${PROJECT_SOURCE_DIR}/app/version_info.rc2
                                                          ${KESTRANE_GENERATED_DIR}/kestrane_version.h)
endfunction()

add_executable(kestrane WIN32
  app/main_win32.cpp
  app/main_window_win32.cpp
  app/dpi_win32.cpp
  app/taskbar_progress_win32.cpp
  app/kestrane.rc
)
target_link_libraries(kestrane PRIVATE kestrane_win32 comctl32 ole32 uuid)
kestrane_unicode_entry(kestrane)
set_property(SOURCE app/kestrane.rc APPEND PROPERTY OBJECT_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/app/kestrane.ico)
kestrane_program_manifest(kestrane app/kestrane.rc Orvalle.Kestrane
  "Kestrane: sends a docked handheld's data to the location's FTP server" WINDOW)

add_subdirectory(tools/location)
add_subdirectory(tests/rig)
add_subdirectory(tests/win32)
add_subdirectory(installer)
