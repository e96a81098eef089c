# norvex_add_test(<name> SOURCES <files...> LIBS <targets...> LABELS <labels...>
#                 [TIMEOUT <seconds>] [FIXTURES <fixtures...>] [ENV <VAR=value...>]
#                 [PREFIX <command...>])
#
# One QtTest executable and its ctest entry. Each test runs in a clean environment:
# offscreen Qt, UTF-8 locale and its own installation folder in NORVEX_HOME, made empty
# before every run by tests/run-in-home.
function(norvex_add_test name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;LABELS;FIXTURES;ENV;PREFIX" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE norvex_options Qt6::Test ${T_LIBS})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/tests)
  set(home ${CMAKE_BINARY_DIR}/testhome/${name}/)
  add_test(NAME ${name}
    COMMAND ${T_PREFIX} ${PROJECT_SOURCE_DIR}/tests/run-in-home ${home} $<TARGET_FILE:${name}>)
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set_tests_properties(${name} PROPERTIES
    LABELS "${T_LABELS}"
    TIMEOUT ${T_TIMEOUT}
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen;LANG=C.UTF-8;LC_ALL=C.UTF-8;NORVEX_HOME=${home};NORVEX_SOURCE_DIR=${PROJECT_SOURCE_DIR};NORVEX_BINARY_DIR=${CMAKE_BINARY_DIR};${T_ENV}")
  if(T_FIXTURES)
    set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED "${T_FIXTURES}")
  endif()
endfunction()
