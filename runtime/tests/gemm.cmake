# GEMM and dense kernels, and the dense / linear / matmul operators.
kestrune_add_gtest(gemm_kernel_test SOURCES gemm_f32_test.cpp gemm_quant_test.cpp LIBS kestrune_rt_testlib)
kestrune_add_gtest(dense_ops_test SOURCES dense_ops_test.cpp LIBS kestrune_rt_testsupport)
# The kernel suite again on the baseline bodies alone (the wide x86-64
# bodies are still called directly where the CPU has them).
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
  add_test(NAME gemm_kernel_test_baseline COMMAND gemm_kernel_test)
  set_tests_properties(gemm_kernel_test_baseline PROPERTIES ENVIRONMENT KESTRUNE_KERNELS=baseline)
endif()
