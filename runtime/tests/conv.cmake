# Convolution operators and their kernels.  Two threads by default (the
# thread-count suite sets its own): the tiled GEMM opens a region per tile.
kestrune_add_gtest(conv_ops_test
  SOURCES conv/conv_table_test.cpp conv/conv_routing_test.cpp
  LIBS kestrune_rt_testsupport
  ENV OMP_NUM_THREADS=2 OMP_WAIT_POLICY=passive)
kestrune_add_gtest(conv_kernels_test
  SOURCES conv/conv_kernels_test.cpp
  LIBS kestrune_rt_testlib)
# The once-per-process cache warning needs a process of its own.
kestrune_add_gtest(conv_warning_test
  SOURCES conv/conv_warning_test.cpp
  LIBS kestrune_rt_testsupport
  ENV OMP_NUM_THREADS=2 OMP_WAIT_POLICY=passive)
foreach(t conv_ops_test conv_kernels_test conv_warning_test)
  # Reference loops must not fuse either.
  target_compile_options(${t} PRIVATE -ffp-contract=off)
endforeach()
# The operator tables again with the kernels capped at the baseline and at
# AVX2 (whatever wider extension the CPU has).
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
  foreach(level baseline avx2)
    add_test(NAME conv_ops_test_${level} COMMAND conv_ops_test)
    set_tests_properties(conv_ops_test_${level} PROPERTIES ENVIRONMENT
      "KESTRUNE_KERNELS=${level};OMP_NUM_THREADS=2;OMP_WAIT_POLICY=passive")
  endforeach()
endif()
