# Convolution operators and their kernels.  Two threads by default (the
# thread-count suite sets its own): the tiled GEMM opens a region per tile.
kestrune_add_gtest(conv_ops_test
  SOURCES conv/conv_table_test.cpp
  LIBS kestrune_rt_testsupport
  ENV OMP_NUM_THREADS=2 OMP_WAIT_POLICY=passive)
# Reference loops must not fuse either.
target_compile_options(conv_ops_test PRIVATE -ffp-contract=off)
