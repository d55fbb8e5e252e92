# Layer handlers: parameter checks, every handler stepped through a model,
# and the quantised preparation of the weights.
kestrune_add_gtest(layers_test
  SOURCES layers/layer_errors_test.cpp layers/layer_handlers_test.cpp layers/quant_prep_test.cpp
    layers/shared_roles_test.cpp
  LIBS kestrune_rt_testsupport
  ENV OMP_NUM_THREADS=2)
target_include_directories(layers_test PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})

# Demonstration program: a conv2d -> pool2d -> dense model run and printed.
add_executable(layers_demo layers/layers_demo.cpp)
target_link_libraries(layers_demo PRIVATE kestrune_rt_testsupport)
add_test(NAME layers_demo COMMAND layers_demo)
set_tests_properties(layers_demo PROPERTIES ENVIRONMENT OMP_NUM_THREADS=2
  PASS_REGULAR_EXPRESSION "reference: [-0-9. ]+ match")

# Allocation failures: malloc, calloc and realloc wrapped at link time.
kestrune_add_gtest(layers_alloc_test
  SOURCES layers/quant_prep_alloc_test.cpp
  LIBS kestrune_rt_testsupport
  ENV OMP_NUM_THREADS=2)
target_include_directories(layers_alloc_test PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
target_link_options(layers_alloc_test PRIVATE -Wl,--wrap=malloc -Wl,--wrap=calloc -Wl,--wrap=realloc)
