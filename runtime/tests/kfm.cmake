# KFM model files, model queries, execution context, load, step and run.

# The FlatBuffers headers.
include(${PROJECT_SOURCE_DIR}/cmake/flatbuffers.cmake)
target_include_directories(kestrune_rt_testsupport PUBLIC ${KESTRUNE_FB_INCLUDE})

# flatc-generated verifier of the same schema, for the cross-check only.
find_program(KESTRUNE_FLATC flatc REQUIRED)
set(KESTRUNE_KFM_GEN ${CMAKE_CURRENT_BINARY_DIR}/kfm_gen)
add_custom_command(
  OUTPUT ${KESTRUNE_KFM_GEN}/kfm_generated.h
  COMMAND ${CMAKE_COMMAND} -E make_directory ${KESTRUNE_KFM_GEN}
  COMMAND ${KESTRUNE_FLATC} --cpp -o ${KESTRUNE_KFM_GEN} ${CMAKE_CURRENT_SOURCE_DIR}/support/kfm.fbs
  DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/support/kfm.fbs
  COMMENT "flatc kfm.fbs")
add_custom_target(kfm_generated DEPENDS ${KESTRUNE_KFM_GEN}/kfm_generated.h)
add_dependencies(kestrune_rt_testsupport kfm_generated)
target_include_directories(kestrune_rt_testsupport PUBLIC ${KESTRUNE_KFM_GEN})

kestrune_add_gtest(model_test
  SOURCES model_verify_test.cpp model_query_test.cpp model_sweep_test.cpp
  LIBS kestrune_rt_testsupport
  ENV OMP_NUM_THREADS=2)

kestrune_add_gtest(context_test
  SOURCES context_test.cpp
  LIBS kestrune_rt_testsupport
  ENV OMP_NUM_THREADS=2)

# Pins the process: its own program, without OMP_NUM_THREADS.
kestrune_add_gtest(context_affinity_test
  SOURCES context_affinity_test.cpp
  LIBS kestrune_rt_testsupport)

kestrune_add_gtest(context_load_test
  SOURCES context_load_test.cpp
  LIBS kestrune_rt_testsupport
  ENV OMP_NUM_THREADS=2)

kestrune_add_gtest(context_shape_test
  SOURCES context_shape_test.cpp
  LIBS kestrune_rt_testsupport
  ENV OMP_NUM_THREADS=2)

kestrune_add_gtest(context_step_test
  SOURCES context_step_test.cpp
  LIBS kestrune_rt_testsupport
  ENV OMP_NUM_THREADS=2)

# Demonstration program: writes, validates, loads, runs and prints a model.
add_executable(kfm_demo kfm_demo.cpp)
target_link_libraries(kfm_demo PRIVATE kestrune_rt_testsupport)
add_test(NAME kfm_demo COMMAND kfm_demo ${CMAKE_CURRENT_BINARY_DIR}/demo.kfm)
set_tests_properties(kfm_demo PROPERTIES ENVIRONMENT OMP_NUM_THREADS=2
  # 100 saturates at 127: (127 - 4) x 0.25 = 30.75
  PASS_REGULAR_EXPRESSION "output y: \\[ 1 4 \\]: 0.5000 -1.2500 3.0000 30.7500")
