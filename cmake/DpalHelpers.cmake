# Compiler settings shared by every target of the project.
add_library(dpal_options INTERFACE)
target_include_directories(dpal_options INTERFACE ${PROJECT_SOURCE_DIR})
target_compile_options(dpal_options INTERFACE -Wall -Wextra -Wshadow -Wnon-virtual-dtor)
if(DPAL_WERROR)
  target_compile_options(dpal_options INTERFACE -Werror)
  if(DPAL_TARGET STREQUAL "windows")
    # MinGW-w64's inline wmemcpy makes GCC 12 at -O2 report out-of-bounds copies for every
    # std::wstring built from a short literal; the sim build keeps the check.
    target_compile_options(dpal_options INTERFACE -Wno-array-bounds -Wno-stringop-overflow
                                                 -Wno-stringop-overread)
  endif()
endif()

# Every test includes GoogleTest and the Windows declarations, which are most of a test's
# compile time: they are parsed once and every test program reuses the result (a test file
# compiles in about 0.7 s instead of 1.2 s in the sim, and the windows build takes about a
# quarter less time). clangd cannot read GCC's precompiled header: the root's .clangd drops the
# flags that name it, and the product's own files never use it (clang-tidy over them is
# unaffected).
option(DPAL_PCH "Precompile the headers every test includes" ON)

# dpal_add_wineprefix(<target> <dir>): the target prepares the Wine prefix <dir> once
# (cmake/wine-run --init, about 15 s); what runs in the prefix depends on the target.
function(dpal_add_wineprefix target dir)
  add_custom_command(
    OUTPUT ${dir}/.dpal-ready
    COMMAND ${DPAL_WINE_RUN} --prefix ${dir} --init
    COMMENT "Preparing the Wine prefix ${dir}"
    VERBATIM)
  add_custom_target(${target} DEPENDS ${dir}/.dpal-ready)
endfunction()

if(DPAL_TARGET STREQUAL "windows")
  target_compile_definitions(dpal_options INTERFACE
    UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX STRSAFE_NO_DEPRECATE
    _WIN32_WINNT=0x0A00 WINVER=0x0A00)
  # Hardening: ASLR with high entropy, DEP, relocations kept; runtimes linked statically.
  target_link_options(dpal_options INTERFACE
    -static -static-libgcc -static-libstdc++
    -Wl,--dynamicbase -Wl,--high-entropy-va -Wl,--nxcompat -Wl,--enable-reloc-section
    -Wl,--disable-auto-image-base
    # Release binaries carry no symbol table (about 1 MB down to under 300 KB for the service).
    $<$<CONFIG:Release>:-s>
    # Every function and object in a section of its own, and what nothing reaches left out: the
    # statically linked runtime is most of each file, and the programs use little of it.
    -Wl,--gc-sections)
  target_compile_options(dpal_options INTERFACE -ffunction-sections -fdata-sections)

  # Test programs run under Wine in a prefix of the build's own, prepared once before the first
  # test program is built; cmake/wine-run keeps a wineserver alive between tests.
  set(DPAL_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
  set(DPAL_WINE_RUN ${PROJECT_SOURCE_DIR}/cmake/wine-run)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${DPAL_WINE_RUN} --prefix ${DPAL_WINEPREFIX})
  dpal_add_wineprefix(dpal_wineprefix ${DPAL_WINEPREFIX})
  # The label names where the tests ran, so ctest's label summary shows "wine". (One label:
  # gtest_discover_tests cannot pass a list as a property value.)
  set(DPAL_TEST_LABELS wine)
else()
  set(DPAL_TEST_LABELS sim)
  if(DPAL_SANITIZE STREQUAL "asan")
    target_compile_options(dpal_options INTERFACE
      -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
    target_link_options(dpal_options INTERFACE -fsanitize=address,undefined)
  elseif(DPAL_SANITIZE STREQUAL "fuzz")
    # The fuzz preset (clang): every library is instrumented for libFuzzer's coverage without
    # its main; the fuzz targets themselves add -fsanitize=fuzzer (fuzz/CMakeLists.txt).
    # Clang's UBSan also checks each indirect call's function type (-fsanitize=function, which
    # GCC has not). The colour functions resolved at run time are called with the subtype as
    # the 32-bit number it is, where their declarations have the SDK's enumeration, which cannot
    # hold 8: the same in the calling convention, and chosen so. That check is left out.
    # libFuzzer counts the edges of the code under test only: fuzz/coverage-ignorelist.txt.in
    # leaves out the sim, the harness and the targets. The list is written under a name that
    # carries its hash, so that a changed list changes every compile's command line (make and
    # ccache see the flag, not the file's content).
    set(ignorelist ${CMAKE_BINARY_DIR}/coverage-ignorelist.txt)
    configure_file(${PROJECT_SOURCE_DIR}/fuzz/coverage-ignorelist.txt.in ${ignorelist} @ONLY)
    file(SHA256 ${ignorelist} ignorelist_hash)
    string(SUBSTRING ${ignorelist_hash} 0 12 ignorelist_hash)
    set(ignorelist_copy ${CMAKE_BINARY_DIR}/coverage-ignorelist-${ignorelist_hash}.txt)
    configure_file(${ignorelist} ${ignorelist_copy} COPYONLY)
    target_compile_options(dpal_options INTERFACE
      -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize=function
      -fsanitize-coverage-ignorelist=${ignorelist_copy}
      -fno-sanitize-recover=all -fno-omit-frame-pointer)
    target_link_options(dpal_options INTERFACE -fsanitize=address,undefined
                                                -fno-sanitize=function)
  elseif(DPAL_SANITIZE STREQUAL "tsan")
    target_compile_options(dpal_options INTERFACE -fsanitize=thread -fno-omit-frame-pointer)
    target_link_options(dpal_options INTERFACE -fsanitize=thread)
  endif()
  if(DPAL_COVERAGE)
    if(DPAL_SANITIZE)
      message(FATAL_ERROR "DPAL_COVERAGE is measured without sanitizers")
    endif()
    # Every program links GCC's coverage runtime; only the product's own targets are compiled
    # with the counters (dpal_instrument_for_coverage), so a test process writes the counts of
    # the product alone when it ends.
    target_link_options(dpal_options INTERFACE --coverage)
  endif()
endif()

# dpal_instrument_for_coverage(<dir>...): with DPAL_COVERAGE, every library and program defined
# in the directories (and their subdirectories) counts each line and branch as written (-O0);
# the counters are updated atomically, as the service's threads run the same code at once. Each
# test process adds its counts to the .gcda files beside the objects; scripts/coverage reads
# them with gcovr.
function(dpal_instrument_for_coverage)
  if(NOT DPAL_COVERAGE)
    return()
  endif()
  foreach(dir IN LISTS ARGN)
    get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
    foreach(target IN LISTS targets)
      get_target_property(type ${target} TYPE)
      if(type MATCHES "^(STATIC_LIBRARY|OBJECT_LIBRARY|SHARED_LIBRARY|EXECUTABLE)$")
        target_compile_options(${target} PRIVATE --coverage -O0 -fprofile-update=atomic)
      endif()
    endforeach()
    get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
    if(subdirs)
      dpal_instrument_for_coverage(${subdirs})
    endif()
  endforeach()
endfunction()

# dpal_add_test(<name> [MACHINE_KEYS] SOURCES ... LIBS ... [SUITE_LOCKS <suite>=<lock> ...]):
# a GoogleTest executable whose tests ctest runs one process each. In the windows build the
# executable runs under Wine (the emulator). DPAL_TEST_PROPERTIES, when set, are given to every
# test of the executable.
#   MACHINE_KEYS  the tests use the package's fixed registry keys, which one Wine prefix shares,
#                 so ctest runs no two such tests at once (the lock dpal_machine_keys).
#   SUITE_LOCKS   the tests of <suite> take the resource lock <lock>, the executable's other
#                 tests none: one discovery per lock, with a filter, and one for the rest. A
#                 suite that uses the machine keys is <suite>=dpal_machine_keys.
function(dpal_add_test name)
  cmake_parse_arguments(T "MACHINE_KEYS" "" "SOURCES;LIBS;SUITE_LOCKS" ${ARGN})
  set(lock)
  if(T_MACHINE_KEYS)
    set(lock RESOURCE_LOCK dpal_machine_keys)
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE dpal_options dpal_test_support ${T_LIBS})
  if(DPAL_PCH)
    target_precompile_headers(${name} REUSE_FROM dpal_test_support)
  endif()
  if(DPAL_SANITIZE)
    # In the program itself: a static library's copy would never be linked in.
    target_sources(${name} PRIVATE ${PROJECT_SOURCE_DIR}/harness/sanitizer_options.cpp)
  endif()
  set(properties LABELS "${DPAL_TEST_LABELS}" TIMEOUT 120 ${DPAL_TEST_PROPERTIES})
  # The suites of each lock, as GoogleTest filters ("Suite.*").
  set(suite_locks)
  set(locked_filters)
  foreach(entry IN LISTS T_SUITE_LOCKS)
    if(NOT entry MATCHES "^([A-Za-z0-9_]+)=([A-Za-z0-9_]+)$")
      message(FATAL_ERROR "dpal_add_test(${name}): SUITE_LOCKS ${entry} is not <suite>=<lock>")
    endif()
    if(T_MACHINE_KEYS)
      message(FATAL_ERROR "dpal_add_test(${name}): MACHINE_KEYS locks every test already")
    endif()
    list(APPEND suite_locks ${CMAKE_MATCH_2})
    list(APPEND filters_${CMAKE_MATCH_2} "${CMAKE_MATCH_1}.*")
    list(APPEND locked_filters "${CMAKE_MATCH_1}.*")
  endforeach()
  list(REMOVE_DUPLICATES suite_locks)
  foreach(suite_lock IN LISTS suite_locks)
    list(JOIN filters_${suite_lock} ":" filter)
    gtest_discover_tests(${name}
      DISCOVERY_MODE PRE_TEST
      DISCOVERY_TIMEOUT 120
      TEST_FILTER "${filter}"
      PROPERTIES ${properties} RESOURCE_LOCK ${suite_lock})
  endforeach()
  set(rest)
  if(locked_filters)
    list(JOIN locked_filters ":" filter)
    set(rest TEST_FILTER "-${filter}")
  endif()
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 120
    ${rest}
    PROPERTIES ${properties} ${lock})
  if(TARGET dpal_wineprefix)
    add_dependencies(${name} dpal_wineprefix)
  endif()
endfunction()

# A Windows program that opens no window: GUI subsystem, Unicode entry (wWinMain or wmain).
function(dpal_windowless_program target)
  set_target_properties(${target} PROPERTIES WIN32_EXECUTABLE ON)
  target_link_options(${target} PRIVATE -municode)
endfunction()

# dpal_add_deliverable(<target> KIND exe|dll [CONSOLE] DESCRIPTION <text> SOURCES ... LIBS ...
#                      [DEF <file>] [MANIFEST <file>])
# One of the four Windows programs, with its version resource, GUI subsystem (no window) and
# Unicode entry, signed with the test certificate (cmake/DpalSigning.cmake); a windowless one ends
# its process at once when the C++ runtime ends it (common/terminate.cpp). The doctor, built
# the same way, is a console program instead (CONSOLE: wmain, console subsystem).
#   DEF       (dll) the module-definition file: the DLL exports exactly its names, undecorated
#             (GNU ld reads a .def among the link inputs; x64 names carry no stdcall decoration).
#   MANIFEST  the application manifest, embedded as the one RT_MANIFEST resource (type 24), id 1
#             for a program and id 2 for a DLL, through a generated .rc that windres compiles.
#             The toolchain must not link a default manifest of its own beside it.
function(dpal_add_deliverable target)
  cmake_parse_arguments(D "CONSOLE" "KIND;DESCRIPTION;DEF;MANIFEST" "SOURCES;LIBS" ${ARGN})
  set(DPAL_NAME ${target})
  set(DPAL_DESCRIPTION "${D_DESCRIPTION}")
  if(D_KIND STREQUAL "dll")
    set(DPAL_FILENAME "${target}.dll")
    set(DPAL_FILETYPE VFT_DLL)
    set(manifest_id 2)  # ISOLATIONAWARE_MANIFEST_RESOURCE_ID
  elseif(D_KIND STREQUAL "exe")
    set(DPAL_FILENAME "${target}.exe")
    set(DPAL_FILETYPE VFT_APP)
    set(manifest_id 1)  # CREATEPROCESS_MANIFEST_RESOURCE_ID
    if(D_DEF)
      message(FATAL_ERROR "dpal_add_deliverable(${target}): DEF is for a dll")
    endif()
  else()
    message(FATAL_ERROR "dpal_add_deliverable(${target}): KIND must be exe or dll")
  endif()
  configure_file(${PROJECT_SOURCE_DIR}/common/version.rc.in
                 ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc @ONLY)
  set(sources ${D_SOURCES} ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc)
  if(D_DEF)
    cmake_path(ABSOLUTE_PATH D_DEF BASE_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR})
    list(APPEND sources ${D_DEF})
  endif()
  if(D_MANIFEST)
    cmake_path(ABSOLUTE_PATH D_MANIFEST BASE_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR})
    dpal_check_no_default_manifest(${target})
    set(manifest_rc ${CMAKE_CURRENT_BINARY_DIR}/${target}_manifest.rc)
    set(rc "// The application manifest of ${target}, made by dpal_add_deliverable.\n")
    string(APPEND rc "${manifest_id} 24 \"${D_MANIFEST}\"\n")
    file(CONFIGURE OUTPUT ${manifest_rc} CONTENT "${rc}" @ONLY)
    # windres reads the manifest itself: an edit of it compiles the resource again.
    set_source_files_properties(${manifest_rc} PROPERTIES OBJECT_DEPENDS ${D_MANIFEST})
    list(APPEND sources ${manifest_rc})
  endif()
  if(D_KIND STREQUAL "dll")
    add_library(${target} SHARED ${sources})
    set_target_properties(${target} PROPERTIES PREFIX "")
  else()
    add_executable(${target} ${sources})
    if(D_CONSOLE)
      target_link_options(${target} PRIVATE -municode)
    else()
      dpal_windowless_program(${target})
    endif()
  endif()
  if(NOT D_CONSOLE)
    # No console to report a fault on: the runtime's end of the program ends the process.
    target_sources(${target} PRIVATE ${PROJECT_SOURCE_DIR}/common/terminate.cpp)
  endif()
  target_link_libraries(${target} PRIVATE dpal_options ${D_LIBS})
  dpal_sign_target(${target})
endfunction()

# MinGW-w64's GCC links default-manifest.o into every program when the toolchain has one (its
# specs: %:if-exists(default-manifest.o)); beside an embedded manifest that would be a second
# RT_MANIFEST. Debian's toolchain has none; another one is refused here rather than ship both.
function(dpal_check_no_default_manifest target)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=default-manifest.o
                  OUTPUT_VARIABLE found OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(IS_ABSOLUTE "${found}" AND EXISTS "${found}")
    message(FATAL_ERROR "${target}: the compiler links its default manifest ${found} into every "
                        "program, beside the manifest of the target")
  endif()
endfunction()

# dpal_add_windows_program(<target> SOURCES ... [LIBS ...] [OUTPUT_NAME <name>]
#                          [DIRECTORY <dir>] [SIGNED] [VARIANTS <dir>])
# A Windows program for the tests and benchmarks (windows build only), windowless like the
# package's programs, linked with the platform. OUTPUT_NAME names its file (default: the target),
# DIRECTORY is where it is built, SIGNED signs it like the package, and VARIANTS (with SIGNED)
# makes the copies that must fail the integrity check in <dir> (dpal_add_signed_variants).
function(dpal_add_windows_program target)
  cmake_parse_arguments(P "SIGNED" "OUTPUT_NAME;DIRECTORY;VARIANTS" "SOURCES;LIBS" ${ARGN})
  add_executable(${target} ${P_SOURCES})
  dpal_windowless_program(${target})
  target_link_libraries(${target} PRIVATE dpal_options dpal_platform ${P_LIBS})
  if(P_OUTPUT_NAME)
    set_target_properties(${target} PROPERTIES OUTPUT_NAME ${P_OUTPUT_NAME})
  endif()
  if(P_DIRECTORY)
    set_target_properties(${target} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${P_DIRECTORY})
  endif()
  if(P_SIGNED)
    dpal_sign_target(${target})
    if(P_VARIANTS)
      dpal_add_signed_variants(${target} DIRECTORY ${P_VARIANTS})
    endif()
  elseif(P_VARIANTS)
    message(FATAL_ERROR "dpal_add_windows_program(${target}): VARIANTS needs SIGNED")
  endif()
endfunction()
