# Tensor record, auxiliary objects and the engine record.
kestrune_add_gtest(tensor_test SOURCES tensor_test.cpp tensor_aux_test.cpp LIBS kestrune_rt_testlib)
