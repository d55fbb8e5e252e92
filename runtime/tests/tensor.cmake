# Tensor record, auxiliary objects and the engine record.
kestrune_add_gtest(tensor_test SOURCES tensor_test.cpp tensor_aux_test.cpp tensor_engine_test.cpp
  LIBS kestrune_rt_testsupport)

# The shared library's SONAME and exported symbol set.
find_program(KESTRUNE_READELF NAMES ${CMAKE_READELF} readelf)
find_program(KESTRUNE_NM NAMES ${CMAKE_NM} nm)
add_test(NAME library_exports
  COMMAND ${CMAKE_COMMAND} -DLIB=$<TARGET_FILE:kestrune-rt> -DREADELF=${KESTRUNE_READELF}
          -DNM=${KESTRUNE_NM} -P ${CMAKE_CURRENT_SOURCE_DIR}/scripts/check_exports.cmake)

# The public headers compile on their own as strict C11 and as C++17:
# applications, compute engines and engine plug-ins include them from either.
set(header_probe "#include \"kestrune/nn.h\"\n#include \"kestrune/kfm_schema.h\"\n#include \"kestrune/nn_engine_plugin.h\"\n#include \"nn_plugin.h\"\nint main(void) { return 0; }\n")
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/public_headers_c11.c "${header_probe}")
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/public_headers_cxx17.cpp "${header_probe}")
foreach(probe public_headers_c11.c public_headers_cxx17.cpp)
  string(REGEX REPLACE "\\.[a-z]+$" "" probe_target ${probe})
  add_library(${probe_target} OBJECT ${CMAKE_CURRENT_BINARY_DIR}/${probe})
  target_include_directories(${probe_target} PRIVATE ${PROJECT_SOURCE_DIR}/runtime/include
    ${PROJECT_SOURCE_DIR}/server/include ${PROJECT_SOURCE_DIR}/server/http)
  target_compile_options(${probe_target} PRIVATE -pedantic -Werror)
endforeach()
set_target_properties(public_headers_c11 PROPERTIES C_STANDARD 11 C_EXTENSIONS OFF)
set_target_properties(public_headers_cxx17 PROPERTIES CXX_STANDARD 17 CXX_EXTENSIONS OFF)
