# The build folder's own RSA-2048 key pair, made once at configure time. The public key goes into the
# updater as the Base64 text of its DER SubjectPublicKeyInfo; the private key stays here for the
# container builder, the demo and the fuzz targets. No key is committed.
find_program(OPENSSL_COMMAND openssl REQUIRED)
set(WRENLET_KEY_DIR ${CMAKE_BINARY_DIR}/wrenlet-key)
# Known to the whole build: the benchmarks, the demo and the fuzz targets sign with it.
set(WRENLET_PRIVATE_KEY ${WRENLET_KEY_DIR}/private.pem CACHE INTERNAL "The private key of the build's key pair")
file(MAKE_DIRECTORY ${WRENLET_KEY_DIR})
if(NOT EXISTS ${WRENLET_PRIVATE_KEY})
  execute_process(
    COMMAND ${OPENSSL_COMMAND} genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out ${WRENLET_PRIVATE_KEY}
    RESULT_VARIABLE key_result OUTPUT_QUIET ERROR_QUIET)
  if(NOT key_result EQUAL 0)
    message(FATAL_ERROR "openssl could not make the updater's key pair")
  endif()
endif()
execute_process(
  COMMAND ${OPENSSL_COMMAND} pkey -in ${WRENLET_PRIVATE_KEY} -pubout -outform DER -out ${WRENLET_KEY_DIR}/public.der
  RESULT_VARIABLE key_result OUTPUT_QUIET ERROR_QUIET)
execute_process(
  COMMAND ${OPENSSL_COMMAND} base64 -A -in ${WRENLET_KEY_DIR}/public.der
  OUTPUT_VARIABLE WRENLET_PUBLIC_KEY_BASE64 RESULT_VARIABLE base64_result OUTPUT_STRIP_TRAILING_WHITESPACE)
string(LENGTH "${WRENLET_PUBLIC_KEY_BASE64}" key_length)
if(NOT key_result EQUAL 0 OR NOT base64_result EQUAL 0 OR NOT key_length EQUAL 392)
  message(FATAL_ERROR "the updater's public key is not 392 Base64 characters of an RSA-2048 key")
endif()
set(WRENLET_GENERATED_DIR ${CMAKE_CURRENT_BINARY_DIR}/generated)
configure_file(${CMAKE_CURRENT_LIST_DIR}/UpdaterPublicKey.h.in ${WRENLET_GENERATED_DIR}/UpdaterPublicKey.h @ONLY)
