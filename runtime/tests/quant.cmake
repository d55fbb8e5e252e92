# Quantisation and tensor operations; the quantisation suite runs on one and
# on three OpenMP threads.
kestrune_add_gtest(quant_test SOURCES quant_test.cpp LIBS kestrune_rt_testlib ENV OMP_NUM_THREADS=1)
kestrune_add_gtest(quant_test_3threads SOURCES quant_test.cpp LIBS kestrune_rt_testlib ENV OMP_NUM_THREADS=3)
