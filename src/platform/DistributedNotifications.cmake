# Distributed notifications over the D-Bus session bus. A library of its own so that only the
# plug-in's side of the program links sdbus-c++. Included from src/streamdeck/CMakeLists.txt.
add_library(zb_notifications ${CMAKE_CURRENT_LIST_DIR}/DistributedNotificationCenter.cpp
                             ${CMAKE_CURRENT_LIST_DIR}/FlatpakSandbox.cpp)
target_include_directories(zb_notifications PUBLIC ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(zb_notifications
  PUBLIC zb_platform zb_diagnostics nlohmann_json::nlohmann_json
  PRIVATE SDBusCpp::sdbus-c++ Boost::boost)
