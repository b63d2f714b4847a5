# Compiler settings shared by every target of the project.
add_library(dpal_options INTERFACE)
target_include_directories(dpal_options INTERFACE ${PROJECT_SOURCE_DIR})
target_compile_options(dpal_options INTERFACE -Wall -Wextra -Wshadow -Wnon-virtual-dtor)
if(DPAL_WERROR)
  target_compile_options(dpal_options INTERFACE -Werror)
endif()

if(DPAL_TARGET STREQUAL "windows")
  target_compile_definitions(dpal_options INTERFACE
    UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX STRSAFE_NO_DEPRECATE
    _WIN32_WINNT=0x0A00 WINVER=0x0A00)
  # Hardening: ASLR with high entropy, DEP, relocations kept; runtimes linked statically.
  target_link_options(dpal_options INTERFACE
    -static -static-libgcc -static-libstdc++
    -Wl,--dynamicbase -Wl,--high-entropy-va -Wl,--nxcompat
    -Wl,--disable-auto-image-base)
else()
  if(DPAL_SANITIZE STREQUAL "asan")
    target_compile_options(dpal_options INTERFACE
      -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
    target_link_options(dpal_options INTERFACE -fsanitize=address,undefined)
  elseif(DPAL_SANITIZE STREQUAL "tsan")
    target_compile_options(dpal_options INTERFACE -fsanitize=thread -fno-omit-frame-pointer)
    target_link_options(dpal_options INTERFACE -fsanitize=thread)
  endif()
endif()

# dpal_add_test(<name> SOURCES ... LIBS ...): a GoogleTest executable whose tests ctest runs
# one process each. In the windows build the executable runs under Wine (the emulator).
function(dpal_add_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE dpal_options dpal_test_support ${T_LIBS})
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 120
    PROPERTIES LABELS "${DPAL_TARGET}" TIMEOUT 120 ${DPAL_TEST_PROPERTIES})
endfunction()
