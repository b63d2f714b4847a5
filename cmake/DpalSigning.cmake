# Test signing of the windows build. The service starts the per-user program only when both are
# signed by the same publisher under a trusted root, so the build signs what it makes with a
# throwaway test certificate. The keys are made once per build tree, in <build>/signing, by
# cmake/test-signing with openssl, and never leave it; a release build is signed by the
# publisher instead (DPAL_TEST_SIGNING OFF).
#
# <build>/signing holds three signers, each NAME.key, NAME.pem (certificate and root) and
# NAME-root.der (the root alone):
#   publisher  the package's test publisher, under "Tarvex DPAL Test Root"
#   foreign    another publisher, under a root of its own
#   untrusted  named like the publisher, under a root nothing is meant to trust
#
# dpal_sign_target(<target> [SIGNER <name>])
#   Signs the target's file in place after every link (publisher by default).
# dpal_add_signed_variants(<target> DIRECTORY <dir>)
#   For the tests, copies of a signed program that must fail the integrity check, in <dir> as
#   <file name>.{unsigned,tampered,foreign,untrusted}.exe, made by the target <target>_variants.
option(DPAL_TEST_SIGNING "Sign the windows build with throwaway test certificates" ON)

set(DPAL_SIGNING_DIR ${CMAKE_BINARY_DIR}/signing)
set(DPAL_TEST_SIGNING_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/test-signing)
set(DPAL_SIGNERS publisher foreign untrusted)

if(DPAL_TARGET STREQUAL "windows" AND DPAL_TEST_SIGNING)
  find_program(DPAL_OPENSSL openssl REQUIRED)
  find_program(DPAL_OSSLSIGNCODE osslsigncode REQUIRED)
  set(DPAL_SIGNING_ENV ${CMAKE_COMMAND} -E env OPENSSL=${DPAL_OPENSSL}
                       OSSLSIGNCODE=${DPAL_OSSLSIGNCODE})
  set(pki_files)
  foreach(signer ${DPAL_SIGNERS})
    list(APPEND pki_files ${DPAL_SIGNING_DIR}/${signer}.key ${DPAL_SIGNING_DIR}/${signer}.pem
                          ${DPAL_SIGNING_DIR}/${signer}-root.der)
  endforeach()
  add_custom_command(
    OUTPUT ${pki_files}
    COMMAND ${DPAL_SIGNING_ENV} ${DPAL_TEST_SIGNING_SCRIPT} pki ${DPAL_SIGNING_DIR}
    DEPENDS ${DPAL_TEST_SIGNING_SCRIPT}
    COMMENT "Making the test signing certificates in ${DPAL_SIGNING_DIR}"
    VERBATIM)
  add_custom_target(dpal_test_pki DEPENDS ${pki_files})
endif()

function(dpal_sign_target target)
  if(NOT TARGET dpal_test_pki)
    return()
  endif()
  cmake_parse_arguments(S "" "SIGNER" "" ${ARGN})
  if(NOT S_SIGNER)
    set(S_SIGNER publisher)
  endif()
  add_dependencies(${target} dpal_test_pki)
  # New keys link (and so sign) the target again.
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${DPAL_SIGNING_DIR}/${S_SIGNER}.pem)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${DPAL_SIGNING_ENV} ${DPAL_TEST_SIGNING_SCRIPT} sign ${DPAL_SIGNING_DIR} ${S_SIGNER}
            $<TARGET_FILE:${target}>
    COMMENT "Signing ${target} (${S_SIGNER})"
    VERBATIM)
endfunction()

function(dpal_add_signed_variants target)
  if(NOT TARGET dpal_test_pki)
    return()
  endif()
  cmake_parse_arguments(V "" "DIRECTORY" "" ${ARGN})
  get_target_property(output_name ${target} OUTPUT_NAME)
  if(NOT output_name)
    set(output_name ${target})
  endif()
  set(base ${V_DIRECTORY}/${output_name})
  set(signed $<TARGET_FILE:${target}>)
  set(script ${DPAL_SIGNING_ENV} ${DPAL_TEST_SIGNING_SCRIPT})
  add_custom_command(
    OUTPUT ${base}.unsigned.exe ${base}.tampered.exe ${base}.foreign.exe ${base}.untrusted.exe
    COMMAND ${CMAKE_COMMAND} -E make_directory ${V_DIRECTORY}
    COMMAND ${script} unsign ${signed} ${base}.unsigned.exe
    COMMAND ${script} tamper ${signed} ${base}.tampered.exe
    COMMAND ${script} sign ${DPAL_SIGNING_DIR} foreign ${base}.unsigned.exe ${base}.foreign.exe
    COMMAND ${script} sign ${DPAL_SIGNING_DIR} untrusted ${base}.unsigned.exe
            ${base}.untrusted.exe
    DEPENDS ${target} ${DPAL_TEST_SIGNING_SCRIPT} ${DPAL_SIGNING_DIR}/foreign.pem
            ${DPAL_SIGNING_DIR}/untrusted.pem
    COMMENT "Making unsigned, tampered, foreign and untrusted copies of ${output_name}.exe"
    VERBATIM)
  add_custom_target(${target}_variants
    DEPENDS ${base}.unsigned.exe ${base}.tampered.exe ${base}.foreign.exe ${base}.untrusted.exe)
  add_dependencies(${target}_variants dpal_test_pki)
endfunction()
