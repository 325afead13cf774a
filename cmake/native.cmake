# Native (Linux) build: the core's POSIX file and socket layers, unit tests,
# the provisioning tool, fuzzers and benchmarks.

add_library(kestrane_posix STATIC common/local_files_posix.cpp net/socket_transport_posix.cpp)
target_link_libraries(kestrane_posix PUBLIC kestrane_core)

if(KESTRANE_FUZZ)
  add_subdirectory(fuzz)
  return()
endif()

enable_testing()
find_package(GTest REQUIRED)
add_subdirectory(tests/unit)
add_subdirectory(tools/location)
add_subdirectory(bench)
