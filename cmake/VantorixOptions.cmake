# Compiler options shared by every target of the project, and the test helper.

add_library(vantorix_options INTERFACE)
target_compile_options(vantorix_options INTERFACE -Wall -Wextra -Wpedantic)
if(VANTORIX_WERROR)
  target_compile_options(vantorix_options INTERFACE -Werror)
endif()
if(WIN32)
  # The wide (UTF-16) Windows API, Windows 7 and later, and no min/max macros.
  target_compile_definitions(vantorix_options INTERFACE
    UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)
endif()

if(VANTORIX_SANITIZE STREQUAL "address+undefined")
  set(_san -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
elseif(VANTORIX_SANITIZE STREQUAL "thread")
  set(_san -fsanitize=thread -fno-omit-frame-pointer)
endif()
if(VANTORIX_FUZZ)
  # Every library carries the fuzzer's coverage and the sanitizers; the fuzz targets add the
  # fuzzer's main when they link.
  set(_san -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined
           -fno-omit-frame-pointer)
  set(_san_link -fsanitize=address,undefined)
endif()
if(_san)
  target_compile_options(vantorix_options INTERFACE ${_san})
  if(NOT _san_link)
    set(_san_link ${_san})
  endif()
  target_link_options(vantorix_options INTERFACE ${_san_link})
endif()

# vantorix_add_test(NAME name SOURCES a.cpp ... LIBS lib ... [LABELS l ...] [TIMEOUT s])
# One GoogleTest binary registered as one CTest test.
function(vantorix_add_test)
  cmake_parse_arguments(T "" "NAME;TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gmock GTest::gtest_main vantorix_options)
  add_test(NAME ${T_NAME} COMMAND ${T_NAME})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set_tests_properties(${T_NAME} PROPERTIES TIMEOUT ${T_TIMEOUT})
  if(T_LABELS)
    set_tests_properties(${T_NAME} PROPERTIES LABELS "${T_LABELS}")
  endif()
endfunction()
