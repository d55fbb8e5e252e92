# Quantisation and tensor operations; the quantisation suite runs on one and
# on three OpenMP threads.
kestrune_add_gtest(quant_test SOURCES quant_test.cpp LIBS kestrune_rt_testlib ENV OMP_NUM_THREADS=1)
kestrune_add_gtest(quant_test_3threads SOURCES quant_test.cpp LIBS kestrune_rt_testlib ENV OMP_NUM_THREADS=3)
kestrune_add_gtest(tensor_ops_test SOURCES shape_ops_test.cpp content_ops_test.cpp move_ops_test.cpp
  LIBS kestrune_rt_testlib)
kestrune_add_gtest(engine_ops_test SOURCES engine_ops_test.cpp LIBS kestrune_rt_testsupport)
