# Every third-party dependency is a Debian package installed by scripts/setup.sh.
include(${CMAKE_CURRENT_LIST_DIR}/Portable.cmake)
set(THREADS_PREFER_PTHREAD_FLAG ON)
find_package(Threads REQUIRED)
find_package(Boost 1.81 REQUIRED COMPONENTS url)
find_package(OpenSSL REQUIRED)
find_package(nlohmann_json 3 REQUIRED)
find_package(sdbus-c++ REQUIRED)
if(ZB_TESTS)
  find_package(GTest REQUIRED)
endif()
find_package(tomlplusplus 3 REQUIRED)
if(ZB_BENCHMARKS)
  find_package(benchmark REQUIRED)
endif()

# duktape ships no CMake package.
find_path(DUKTAPE_INCLUDE_DIR duktape.h REQUIRED)
find_library(DUKTAPE_LIBRARY NAMES duktape REQUIRED)
add_library(zb_duktape INTERFACE)
target_include_directories(zb_duktape SYSTEM INTERFACE ${DUKTAPE_INCLUDE_DIR})
target_link_libraries(zb_duktape INTERFACE ${DUKTAPE_LIBRARY} m)

# libmosquitto (the MQTT bridge of zorbel-deck) ships no CMake package either.
find_path(MOSQUITTO_INCLUDE_DIR mosquitto.h REQUIRED)
find_library(MOSQUITTO_LIBRARY NAMES mosquitto REQUIRED)
add_library(zb_mosquitto INTERFACE)
target_include_directories(zb_mosquitto SYSTEM INTERFACE ${MOSQUITTO_INCLUDE_DIR})
target_link_libraries(zb_mosquitto INTERFACE ${MOSQUITTO_LIBRARY})

# Tests: zb_add_test(<name> SOURCES ... LIBS ...) builds one GoogleTest executable and registers it.
function(zb_add_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/tests)
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES LABELS "${ARG_LABELS}")
endfunction()
