# Windows build: one self-contained kestrane.exe (static runtime, GUI
# subsystem), and beside it the stand-in rapi.dll and the test operator.

enable_language(RC)
add_link_options(-static -static-libgcc -static-libstdc++)
add_compile_definitions(WIN32_LEAN_AND_MEAN NOMINMAX UNICODE _UNICODE _WIN32_WINNT=0x0A00)

add_library(kestrane_win32 STATIC
  common/win32_support.cpp
  common/local_files_win32.cpp
  settings/registry_win32.cpp
  device/rapi_device_win32.cpp
  ftp/wininet_ftp_client_win32.cpp
)
target_link_libraries(kestrane_win32 PUBLIC kestrane_core wininet)

add_executable(kestrane WIN32
  app/main_win32.cpp
  app/main_window_win32.cpp
  app/kestrane.rc
)
target_link_libraries(kestrane PRIVATE kestrane_win32 comctl32)
target_link_options(kestrane PRIVATE -municode)

add_subdirectory(tools/rapi_emulator)
add_subdirectory(tools/operator)
add_subdirectory(tests/win32)
