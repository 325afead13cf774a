# Windows build: one self-contained kestrane.exe (static runtime, GUI
# subsystem), and beside it the stand-in rapi.dll and the test operator.

enable_language(RC)
add_link_options(-static -static-libgcc -static-libstdc++)
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
)
target_link_libraries(kestrane_win32 PUBLIC kestrane_core wininet)

set(KESTRANE_GENERATED_DIR ${CMAKE_BINARY_DIR}/generated)
configure_file(app/kestrane_version.h.in ${KESTRANE_GENERATED_DIR}/kestrane_version.h @ONLY)
# The manifest names the program's own processor architecture: Windows
# refuses to start a program whose manifest names another kind.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(KESTRANE_MANIFEST_ARCHITECTURE x86)
else()
  set(KESTRANE_MANIFEST_ARCHITECTURE amd64)
endif()
configure_file(app/kestrane.manifest.in ${KESTRANE_GENERATED_DIR}/kestrane.manifest @ONLY)

add_executable(kestrane WIN32
  app/main_win32.cpp
  app/main_window_win32.cpp
  app/dpi_win32.cpp
  app/taskbar_progress_win32.cpp
  app/kestrane.rc
)
target_include_directories(kestrane PRIVATE ${KESTRANE_GENERATED_DIR})
target_link_libraries(kestrane PRIVATE kestrane_win32 comctl32 ole32 uuid)
target_link_options(kestrane PRIVATE -municode)
set_source_files_properties(app/kestrane.rc PROPERTIES
  OBJECT_DEPENDS "${CMAKE_CURRENT_SOURCE_DIR}/app/kestrane.ico;${KESTRANE_GENERATED_DIR}/kestrane.manifest")

add_subdirectory(tools/rapi_emulator)
add_subdirectory(tools/operator)
add_subdirectory(tools/location)
add_subdirectory(tests/win32)
add_subdirectory(installer)
