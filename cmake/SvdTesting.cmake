# svd_add_test(<name> SOURCES <files...> LIBS <targets...> [TIMEOUT <s>] [LABELS <labels...>] [SCREEN])
# One QtTest executable per module, run by ctest. Tests that need a display run
# under the xvfb-run that wraps ctest in CI; they get the sandbox-off and
# no-background-networking flags here so a stray Chromium never leaves 127.0.0.1.
# SCREEN: the test reads back what is on the screen (root-window grabs, native
# video windows), so it must not share the display with another such test:
# their top-level windows would cover each other.
function(svd_add_test name)
  cmake_parse_arguments(T "SCREEN" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE svd_common Qt6::Test ${T_LIBS})
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES
    TIMEOUT ${T_TIMEOUT}
    LABELS "${T_LABELS}"
    ENVIRONMENT "SVD_LOOPBACK_ONLY=1;QTWEBENGINE_DISABLE_SANDBOX=1;QTWEBENGINE_CHROMIUM_FLAGS=--no-sandbox --disable-background-networking --disable-component-update --disable-sync;SVD_SOURCE_DIR=${CMAKE_SOURCE_DIR};SVD_BINARY_DIR=${CMAKE_BINARY_DIR}")
  if(T_SCREEN)
    set_tests_properties(${name} PROPERTIES RESOURCE_LOCK svd_screen)
  endif()
endfunction()
