# Layers that write where they read: the model's bytes (a read-only mapping)
# stay unchanged, and outputs placed over their inputs in the pool.
kestrune_add_gtest(context_inplace_test
  SOURCES context_inplace_test.cpp
  LIBS kestrune_rt_testsupport
  ENV OMP_NUM_THREADS=2)
