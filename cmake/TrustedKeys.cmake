# The publisher's Ed25519 public keys that a build trusts
# (UPDATER_TRUSTED_KEYS), checked before anything else is configured: a key
# that is not one stops the configure, naming it, so that no build is made
# that trusts fewer keys than it was given, or none.
#
# A key is given as the base64 of its 32 bytes, or as the base64 of its DER
# form, as `openssl pkey -pubout -outform DER | base64` prints it (the
# SubjectPublicKeyInfo: a fixed 12-byte prefix, then the 32 bytes); both
# become the base64 of the 32 bytes. Items are separated by ";", blanks
# around an item are allowed and empty items skipped.
#
#   include(TrustedKeys)
#   updater_trusted_keys("${UPDATER_TRUSTED_KEYS}" keys)    # or FATAL_ERROR
#   updater_trusted_keys_header("${keys}" "${dir}/trustedkeys.h")
#
# The header holds TrustedKeys::kBase64, a std::array of the keys' texts,
# which src/common/signature.cpp reads; a header rather than a compile
# definition, which CMake would split at each ";".
#
# As a script it checks a list and prints the keys it becomes, one a line:
#   cmake -DUPDATER_TRUSTED_KEYS="KEY;KEY" -P cmake/TrustedKeys.cmake
include_guard(GLOBAL)

set(_UPDATER_TRUSTED_KEYS_DIR "${CMAKE_CURRENT_LIST_DIR}")
set(_UPDATER_BASE64_ALPHABET "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/")
set(_UPDATER_HEX_DIGITS "0123456789abcdef")
# The DER SubjectPublicKeyInfo of an Ed25519 key, up to the key's 32 bytes:
# SEQUENCE { SEQUENCE { OID 1.3.101.112 }, BIT STRING (33 bytes) { 0 unused bits, ...
set(_UPDATER_ED25519_DER_PREFIX "302a300506032b6570032100")

# updater_base64_to_hex(TEXT OUT): the bytes that base64 TEXT stands for, as
# lowercase hex; "" when TEXT is not base64 (characters outside the
# alphabet, padding other than at the end, a length no bytes have).
function(updater_base64_to_hex text out)
  set(${out} "" PARENT_SCOPE)
  if(NOT text MATCHES "^[A-Za-z0-9+/]*(=|==)?$")
    return()
  endif()
  string(REGEX REPLACE "=+$" "" body "${text}")
  string(LENGTH "${body}" length)
  math(EXPR rest "${length} % 4")
  if(length EQUAL 0 OR rest EQUAL 1)
    return()
  endif()
  if(text MATCHES "=$")
    math(EXPR padded "${length} + (4 - ${rest}) % 4")
    string(LENGTH "${text}" given)
    if(NOT given EQUAL padded)
      return()
    endif()
  endif()
  set(bits 0)
  set(count 0)
  set(hex "")
  math(EXPR last "${length} - 1")
  foreach(i RANGE ${last})
    string(SUBSTRING "${body}" ${i} 1 char)
    string(FIND "${_UPDATER_BASE64_ALPHABET}" "${char}" value)
    math(EXPR bits "((${bits} << 6) | ${value}) & 4095")
    math(EXPR count "${count} + 6")
    if(count GREATER_EQUAL 8)
      math(EXPR count "${count} - 8")
      math(EXPR high "(${bits} >> (${count} + 4)) & 15")
      math(EXPR low "(${bits} >> ${count}) & 15")
      string(SUBSTRING "${_UPDATER_HEX_DIGITS}" ${high} 1 high)
      string(SUBSTRING "${_UPDATER_HEX_DIGITS}" ${low} 1 low)
      string(APPEND hex "${high}${low}")
    endif()
  endforeach()
  set(${out} "${hex}" PARENT_SCOPE)
endfunction()

# updater_hex_to_base64(HEX OUT): the base64 text (padded) of the bytes
# that lowercase HEX stands for.
function(updater_hex_to_base64 hex out)
  string(LENGTH "${hex}" length)
  set(text "")
  set(i 0)
  while(i LESS length)
    # Up to three bytes: four characters, "=" for the missing ones.
    string(SUBSTRING "${hex}" ${i} 6 group)
    string(LENGTH "${group}" digits)
    # n bytes take n + 1 characters.
    math(EXPR characters "${digits} / 2 + 1")
    string(APPEND group "000000")
    string(SUBSTRING "${group}" 0 6 group)
    math(EXPR value "0x${group}")
    foreach(shift 18 12 6 0)
      math(EXPR index "(${value} >> ${shift}) & 63")
      math(EXPR position "(24 - ${shift}) / 6")
      if(position GREATER characters)
        string(APPEND text "=")
      else()
        string(SUBSTRING "${_UPDATER_BASE64_ALPHABET}" ${index} 1 char)
        string(APPEND text "${char}")
      endif()
    endforeach()
    math(EXPR i "${i} + 6")
  endwhile()
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

# updater_trusted_keys(LIST OUT): the keys of the ";"-separated LIST, each
# as the base64 of its 32 bytes. Stops with FATAL_ERROR at the first item
# that is not a key, naming it.
function(updater_trusted_keys list out)
  set(keys "")
  foreach(item IN LISTS list)
    string(STRIP "${item}" key)
    if(key STREQUAL "")
      continue()
    endif()
    updater_base64_to_hex("${key}" hex)
    string(LENGTH "${hex}" digits)
    math(EXPR bytes "${digits} / 2")
    string(LENGTH "${_UPDATER_ED25519_DER_PREFIX}" prefixDigits)
    string(SUBSTRING "${hex}" 0 ${prefixDigits} prefix)
    if(bytes EQUAL 32)
      set(raw "${hex}")
    elseif(bytes EQUAL 44 AND prefix STREQUAL _UPDATER_ED25519_DER_PREFIX)
      string(SUBSTRING "${hex}" ${prefixDigits} -1 raw)
    else()
      if(hex STREQUAL "")
        set(found "it is not base64")
      elseif(bytes EQUAL 44)
        set(found "its 44 bytes are not the DER form of an Ed25519 key")
      else()
        set(found "it holds ${bytes} bytes")
      endif()
      message(FATAL_ERROR
        "UPDATER_TRUSTED_KEYS: \"${key}\" is not an Ed25519 public key: ${found}. "
        "Give each key as the base64 of its 32 bytes (what `updater-sign keygen` prints) "
        "or of its DER form (`openssl pkey -pubout -outform DER | base64`), separated by \";\".")
    endif()
    updater_hex_to_base64("${raw}" normalised)
    list(APPEND keys "${normalised}")
  endforeach()
  set(${out} "${keys}" PARENT_SCOPE)
endfunction()

# updater_trusted_keys_header(KEYS FILE): writes FILE, the header that
# carries KEYS (as updater_trusted_keys gives them) into the code; the file
# is rewritten only when it changes.
function(updater_trusted_keys_header keys file)
  list(LENGTH keys UPDATER_TRUSTED_KEY_COUNT)
  set(UPDATER_TRUSTED_KEY_TEXTS "")
  foreach(key IN LISTS keys)
    string(APPEND UPDATER_TRUSTED_KEY_TEXTS "\n    \"${key}\",")
  endforeach()
  configure_file("${_UPDATER_TRUSTED_KEYS_DIR}/trustedkeys.h.in" "${file}" @ONLY)
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  updater_trusted_keys("${UPDATER_TRUSTED_KEYS}" _keys)
  foreach(_key IN LISTS _keys)
    message(STATUS "${_key}")
  endforeach()
endif()
