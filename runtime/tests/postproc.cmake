# Detection post-processing (SSD selection and decoding, suppression, CenterNet)
# and the SVM operators.
kestrune_add_gtest(postproc_test SOURCES postproc_ssd_test.cpp postproc_nms_test.cpp
  postproc_centernet_test.cpp postproc_svm_test.cpp
  LIBS kestrune_rt_testsupport)
