cmake_minimum_required(VERSION 3.20)
# Checks the shared runtime library's SONAME and its dynamic symbol table:
# only the nn_* interface, free_aux_buffer and release_aux_tensor are defined,
# and internal helpers stay hidden.
#   cmake -DLIB=<path> -DREADELF=<readelf> -DNM=<nm> -P check_exports.cmake
foreach(var LIB READELF NM)
  if(NOT ${var})
    message(FATAL_ERROR "${var} not given")
  endif()
endforeach()

execute_process(COMMAND ${READELF} -d ${LIB} OUTPUT_VARIABLE dynamic RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "readelf -d ${LIB} failed (${rc})")
endif()
if(NOT dynamic MATCHES "\\(SONAME\\)[^\n]*\\[libkestrune-rt\\.so\\.2\\]")
  message(FATAL_ERROR "SONAME is not libkestrune-rt.so.2:\n${dynamic}")
endif()

execute_process(COMMAND ${NM} -D --defined-only ${LIB} OUTPUT_VARIABLE symbols RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "nm -D ${LIB} failed (${rc})")
endif()
string(REPLACE "\n" ";" lines "${symbols}")
set(names "")
set(unexpected "")
foreach(line IN LISTS lines)
  if(line STREQUAL "")
    continue()
  endif()
  string(REGEX REPLACE "^.* ([^ ]+)$" "\\1" name "${line}")
  string(REGEX REPLACE "@.*$" "" name "${name}")
  list(APPEND names ${name})
  if(NOT name MATCHES "^nn_" AND NOT name STREQUAL "free_aux_buffer" AND NOT name STREQUAL "release_aux_tensor")
    list(APPEND unexpected "${line}")
  endif()
endforeach()
if(unexpected)
  string(REPLACE ";" "\n" unexpected "${unexpected}")
  message(FATAL_ERROR "symbols outside the exported set:\n${unexpected}")
endif()

# Part of the interface must be there; internal helpers named nn_* must not.
foreach(required nn_strerror nn_version nn_init nn_engine_init nn_tensor_init nn_tensor_release
                 nn_tensor_set_aux_object_by_name free_aux_buffer release_aux_tensor
                 nn_engine_load nn_engine_unload nn_engine_release nn_tensor_load_file
                 nn_tensor_load_file_ex nn_tensor_load_image nn_tensor_load_image_ex
                 nn_tensor_load_frame nn_tensor_load_frame_ex)
  if(NOT required IN_LIST names)
    message(FATAL_ERROR "${required} is not exported")
  endif()
endforeach()
foreach(internal nn_type_size nn_type_name nn_element_to_double nn_static_split nn_thread_rows
                 nn_tensor_check_shape nn_tensor_store_shape nn_tensor_aux_release
                 nn_tensor_aux_free_by_name nn_tensor_aux_unlink nn_aux_free_tensor nn_init_constructor
                 nn_image_rgba_to_float nn_image_rgba_to_float_scalar nn_image_bytes_to_float
                 nn_image_apply_proc)
  if(internal IN_LIST names)
    message(FATAL_ERROR "internal ${internal} is exported")
  endif()
endforeach()
# The image decoders compiled into the library stay private.
foreach(name IN LISTS names)
  if(name MATCHES "^(stbi_|stbir_|stbiw_|g2d_)" OR name STREQUAL "standardize_buffer"
     OR name STREQUAL "release_g2d_buffer")
    message(FATAL_ERROR "internal ${name} is exported")
  endif()
endforeach()
list(LENGTH names count)
message(STATUS "${LIB}: SONAME libkestrune-rt.so.2, ${count} exported symbols")
