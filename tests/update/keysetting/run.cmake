# cmake -DSOURCE=<checkout> -DWORK=<scratch> -DGENERATOR=<generator> -P run.cmake
# Configures and builds keyprobe with a given SVD_UPDATE_PUBLIC_KEY and checks that the
# program prints it; a malformed key and the demo key must fail the configuration.
set(key "n2HS6c+3RZGRVS1oh3ks7W84yxzGM8cCLnuAdu3IZnI=")
file(STRINGS ${SOURCE}/tools/demo/update-key/demo-release.pub demo_key LIMIT_COUNT 1)
file(REMOVE_RECURSE ${WORK})

function(configure name value result)
  execute_process(COMMAND ${CMAKE_COMMAND} -S ${SOURCE}/tests/update/keysetting -B ${WORK}/${name} -G ${GENERATOR}
                          -DSVD_SOURCE_DIR=${SOURCE} -DSVD_UPDATE_PUBLIC_KEY=${value}
                  RESULT_VARIABLE code OUTPUT_VARIABLE out ERROR_VARIABLE err)
  set(${result} ${code} PARENT_SCOPE)
  set(${result}_log "${out}${err}" PARENT_SCOPE)
endfunction()

configure(good ${key} good)
if(NOT good EQUAL 0)
  message(FATAL_ERROR "configure with a valid key failed:\n${good_log}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} --build ${WORK}/good RESULT_VARIABLE code OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT code EQUAL 0)
  message(FATAL_ERROR "build failed:\n${out}")
endif()
execute_process(COMMAND ${WORK}/good/keyprobe OUTPUT_VARIABLE printed OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT printed STREQUAL key)
  message(FATAL_ERROR "the program carries '${printed}', not the configured '${key}'")
endif()

# The last character before "=" carries two bits that must be zero.
configure(malformed "n2HS6c+3RZGRVS1oh3ks7W84yxzGM8cCLnuAdu3IZnJ=" malformed)
configure(demo ${demo_key} demo)
if(malformed EQUAL 0 OR NOT malformed_log MATCHES "must be base64 of 32 raw bytes")
  message(FATAL_ERROR "a malformed key was accepted:\n${malformed_log}")
endif()
if(demo EQUAL 0 OR NOT demo_log MATCHES "is the demo key")
  message(FATAL_ERROR "the demo key was accepted:\n${demo_log}")
endif()
file(REMOVE_RECURSE ${WORK})
message(STATUS "update_key_setting: the setting reaches the binary; malformed and demo keys refused")
