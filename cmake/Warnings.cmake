# Project-wide compiler settings: warnings, -Werror in CI, sanitizers.
add_compile_options(-Wall -Wextra -Wpedantic)
if(ZB_WERROR)
  add_compile_options(-Werror)
endif()

if(ZB_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
elseif(ZB_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
  # Asio orders handler memory with std::atomic_thread_fence, which ThreadSanitizer cannot see
  # (g++ warns with -Wtsan). Its scheduler's mutex already orders handlers, so the fenced blocks
  # go in this build.
  add_compile_definitions(BOOST_ASIO_DISABLE_FENCED_BLOCK)
elseif(NOT ZB_SANITIZE STREQUAL "")
  message(FATAL_ERROR "ZB_SANITIZE must be empty, 'address' or 'thread'")
endif()
# Sanitizer builds are for finding faults, not for speed: -O1 and line tables only (what reports
# need) build about twice as fast as -O2 -g, and keep the sanitizers' stacks exact.
if(NOT ZB_SANITIZE STREQUAL "" AND CMAKE_BUILD_TYPE STREQUAL "RelWithDebInfo")
  foreach(language C CXX)
    set(CMAKE_${language}_FLAGS_RELWITHDEBINFO "-O1 -g1 -DNDEBUG")
  endforeach()
endif()
if(NOT ZB_SANITIZE STREQUAL "" AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  # g++ 12 reports false "may be used uninitialized" in libstdc++ (std::regex, std::function)
  # once sanitizer instrumentation changes its inlining; the plain build keeps the warning.
  add_compile_options(-Wno-maybe-uninitialized)
endif()

# The source tree's path, so that log lines can show project paths as "…/<path in project>".
add_compile_definitions(ZB_SOURCE_PREFIX="${PROJECT_SOURCE_DIR}/")
