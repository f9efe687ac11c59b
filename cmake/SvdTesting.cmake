# Sanitizer builds run several times slower: time limits of tests waiting for
# real work scale by this integer factor, ctest's limits here and the tests'
# own waits through SVD_TEST_TIME_SCALE (tests/common/timescale.h).
set(SVD_TEST_TIME_SCALE 1 CACHE STRING "Factor for the time limits of tests (the sanitizer presets raise it)")

# Sanitizer run-time options for every test and the programs it starts. The
# suppression files name only libraries we do not build (see their comments).
set(svd_san_dir ${CMAKE_SOURCE_DIR}/tools/sanitizers)
set(SVD_SANITIZER_ENV "")
if(SVD_SANITIZE STREQUAL "address")
  set(SVD_SANITIZER_ENV
    "LSAN_OPTIONS=suppressions=${svd_san_dir}/lsan.supp:print_suppressions=0"
    "UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:suppressions=${svd_san_dir}/ubsan.supp")
  set(svd_asan_options "detect_leaks=1")
elseif(SVD_SANITIZE STREQUAL "thread")
  # The tests fork ffmpeg and helper programs from threaded processes. Without a
  # session bus libdbus forks dbus-launch from inside Qt's accessibility set-up,
  # and a child forked by a threaded TSan process can hang: a bus address that
  # refuses at once keeps it from trying.
  # history_size=7: the longest access history per thread. libtorrent's network
  # thread wraps the default one within a fraction of a second; an access whose
  # stack is lost no longer shows the library frame its suppression names.
  set(SVD_SANITIZER_ENV
    "TSAN_OPTIONS=suppressions=${svd_san_dir}/tsan.supp:die_after_fork=0:second_deadlock_stack=1:history_size=7"
    "DBUS_SESSION_BUS_ADDRESS=unix:path=${CMAKE_BINARY_DIR}/no-session-bus")
endif()

# svd_test_runtime(<tests...>): scaled time limits and the sanitizer options.
# Tests labelled "webengine" run Chromium inside the process: QtWebEngine frees
# objects with a sized delete of another type (new-delete-type-mismatch inside
# libQt6WebEngineCore, which ASan cannot suppress by library), so that one check
# is off for them; the suites without the web engine keep it.
function(svd_test_runtime)
  foreach(t IN LISTS ARGN)
    get_test_property(${t} TIMEOUT limit)
    if(limit)
      math(EXPR limit "${limit} * ${SVD_TEST_TIME_SCALE}")
      set_tests_properties(${t} PROPERTIES TIMEOUT ${limit})
    endif()
    set(env "SVD_TEST_TIME_SCALE=${SVD_TEST_TIME_SCALE}" ${SVD_SANITIZER_ENV})
    if(svd_asan_options)
      get_test_property(${t} LABELS labels)
      if("webengine" IN_LIST labels)
        list(APPEND env "ASAN_OPTIONS=${svd_asan_options}:new_delete_type_mismatch=0")
      else()
        list(APPEND env "ASAN_OPTIONS=${svd_asan_options}")
      endif()
    endif()
    set_property(TEST ${t} APPEND PROPERTY ENVIRONMENT ${env})
  endforeach()
endfunction()

# svd_add_test(<name> SOURCES <files...> LIBS <targets...> [TIMEOUT <s>] [LABELS <labels...>] [SCREEN] [DBUS])
# One QtTest executable per module, run by ctest. Tests that need a display run
# under the xvfb-run that wraps ctest in CI; they get the sandbox-off and
# no-background-networking flags here so a stray Chromium never leaves 127.0.0.1.
# SCREEN: the test reads back what is on the screen (root-window grabs, native
# video windows), so it must not share the display with another such test:
# their top-level windows would cover each other.
# DBUS: the test runs on a private session bus of its own (dbus-run-session).
function(svd_add_test name)
  cmake_parse_arguments(T "SCREEN;DBUS" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE svd_common Qt6::Test ${T_LIBS})
  if(T_DBUS)
    add_test(NAME ${name} COMMAND dbus-run-session -- $<TARGET_FILE:${name}>)
  else()
    add_test(NAME ${name} COMMAND ${name})
  endif()
  set_tests_properties(${name} PROPERTIES
    TIMEOUT ${T_TIMEOUT}
    LABELS "${T_LABELS}"
    ENVIRONMENT "SVD_LOOPBACK_ONLY=1;QTWEBENGINE_DISABLE_SANDBOX=1;QTWEBENGINE_CHROMIUM_FLAGS=--no-sandbox --disable-background-networking --disable-component-update --disable-sync;SVD_SOURCE_DIR=${CMAKE_SOURCE_DIR};SVD_BINARY_DIR=${CMAKE_BINARY_DIR}")
  if(T_SCREEN)
    set_tests_properties(${name} PROPERTIES RESOURCE_LOCK svd_screen)
  endif()
  svd_test_runtime(${name})
endfunction()
