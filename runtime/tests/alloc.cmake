# Allocation failures inside runtime operations: malloc, calloc and realloc
# wrapped at link time, so that a chosen allocation fails.
kestrune_add_gtest(alloc_failure_test
  SOURCES alloc_failure_test.cpp
  LIBS kestrune_rt_testsupport kestrune_image_fixtures
  ENV OMP_NUM_THREADS=2)
target_link_options(alloc_failure_test PRIVATE -Wl,--wrap=malloc -Wl,--wrap=calloc -Wl,--wrap=realloc)
