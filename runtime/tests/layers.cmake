# Layer handlers: parameter checks, every handler stepped through a model,
# and the quantised preparation of the weights.
kestrune_add_gtest(layers_test
  SOURCES layers/layer_errors_test.cpp layers/layer_handlers_test.cpp layers/quant_prep_test.cpp
  LIBS kestrune_rt_testsupport
  ENV OMP_NUM_THREADS=2)
target_include_directories(layers_test PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
