# GEMM and dense kernels, and the dense / linear / matmul operators.
kestrune_add_gtest(gemm_kernel_test SOURCES gemm_f32_test.cpp gemm_quant_test.cpp LIBS kestrune_rt_testlib)
kestrune_add_gtest(dense_ops_test SOURCES dense_ops_test.cpp LIBS kestrune_rt_testsupport)
