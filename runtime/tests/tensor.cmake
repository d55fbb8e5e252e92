# Tensor record, auxiliary objects and the engine record.
kestrune_add_gtest(tensor_test SOURCES tensor_test.cpp tensor_aux_test.cpp tensor_engine_test.cpp
  LIBS kestrune_rt_testsupport)

# The shared library's SONAME and exported symbol set.
find_program(KESTRUNE_READELF NAMES ${CMAKE_READELF} readelf)
find_program(KESTRUNE_NM NAMES ${CMAKE_NM} nm)
add_test(NAME library_exports
  COMMAND ${CMAKE_COMMAND} -DLIB=$<TARGET_FILE:kestrune-rt> -DREADELF=${KESTRUNE_READELF}
          -DNM=${KESTRUNE_NM} -P ${CMAKE_CURRENT_SOURCE_DIR}/scripts/check_exports.cmake)
