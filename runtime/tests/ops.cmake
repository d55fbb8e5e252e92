# Operator frame, fixed-point core, output stage and the operator kernels.
set(KESTRUNE_OPS_TESTS ops_frame_test)
kestrune_add_gtest(ops_frame_test
  SOURCES ops/fixed_point_test.cpp ops/requantize_test.cpp ops/frame_kernels_test.cpp
  LIBS kestrune_rt_testlib)
kestrune_add_gtest(ops_kernels_test
  SOURCES ops/kernels_test.cpp
  LIBS kestrune_rt_testlib)
list(APPEND KESTRUNE_OPS_TESTS ops_kernels_test)
kestrune_add_gtest(ops_operators_test
  SOURCES ops/frame_ops_test.cpp ops/activation_ops_test.cpp ops/eltwise_ops_test.cpp ops/pool_reduce_resize_test.cpp ops/gru_test.cpp
  LIBS kestrune_rt_testsupport)
list(APPEND KESTRUNE_OPS_TESTS ops_operators_test)
foreach(t ${KESTRUNE_OPS_TESTS})
  # Reference loops must not fuse either.
  target_compile_options(${t} PRIVATE -ffp-contract=off)
endforeach()
# The kernel bodies again with the kernels capped at AVX2 (the element-wise
# and activation bodies then take the eight-lane table) and at the baseline.
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
  foreach(level baseline avx2)
    add_test(NAME ops_kernels_test_${level} COMMAND ops_kernels_test)
    set_tests_properties(ops_kernels_test_${level} PROPERTIES ENVIRONMENT KESTRUNE_KERNELS=${level})
  endforeach()
endif()
