# The Ed25519 public key that release manifests are verified with, as a build
# setting: base64 of the 32 raw bytes, as `tools/release/keygen` prints it.
# The default is not a usable key (no private key exists for it): such a build
# runs with update checks off and says so once at start.
set(SVD_UPDATE_PUBLIC_KEY "mZ3pLq8Tn0vR5cWx2YbH7kJd4sFg9eUa1oNi6tPyQ0w=" CACHE STRING
  "Ed25519 release public key, base64 of 32 raw bytes (tools/release/keygen prints it)")

# The demo key's private half is kept in the repository, so no build may embed it.
set(SVD_DEMO_UPDATE_KEY_FILE ${CMAKE_CURRENT_LIST_DIR}/../tools/demo/update-key/demo-release.pub)

# Compiles SVD_UPDATE_PUBLIC_KEY into `source` (as the macro of the same name),
# after checking its form. Only that one file is rebuilt when the key changes.
function(svd_embed_update_key source)
  # 44 characters; the last one before "=" carries 2 unused bits, which must be 0.
  string(LENGTH "${SVD_UPDATE_PUBLIC_KEY}" key_length)
  if(NOT key_length EQUAL 44 OR NOT SVD_UPDATE_PUBLIC_KEY MATCHES "^[A-Za-z0-9+/]+[AEIMQUYcgkosw048]=$")
    message(FATAL_ERROR "SVD_UPDATE_PUBLIC_KEY must be base64 of 32 raw bytes (44 characters ending in '='), "
                        "got '${SVD_UPDATE_PUBLIC_KEY}'")
  endif()
  file(STRINGS ${SVD_DEMO_UPDATE_KEY_FILE} demo_key LIMIT_COUNT 1)
  if(SVD_UPDATE_PUBLIC_KEY STREQUAL demo_key)
    message(FATAL_ERROR "SVD_UPDATE_PUBLIC_KEY is the demo key, whose private half is public; "
                        "make a release key with tools/release/keygen")
  endif()
  set_property(SOURCE ${source} APPEND PROPERTY COMPILE_DEFINITIONS
    "SVD_UPDATE_PUBLIC_KEY=\"${SVD_UPDATE_PUBLIC_KEY}\"")
endfunction()
