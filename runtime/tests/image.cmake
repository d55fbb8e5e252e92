# Image and camera-frame input, and compute-engine plug-in loading.

# The G2D stand-in: a test-only libg2d.so, plus a build of it without
# g2d_finish.  Each sits alone in a directory for LD_LIBRARY_PATH.
function(kestrune_g2d_stub target dir)
  add_library(${target} SHARED ${CMAKE_CURRENT_SOURCE_DIR}/g2d_stub/g2d_stub.c)
  target_include_directories(${target} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/g2d_stub
                                               ${CMAKE_CURRENT_SOURCE_DIR}/../src)
  target_link_libraries(${target} PRIVATE m)
  set_target_properties(${target} PROPERTIES OUTPUT_NAME g2d
    LIBRARY_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/${dir})
  target_compile_definitions(${target} PRIVATE ${ARGN})
endfunction()
kestrune_g2d_stub(kestrune_g2d_stub g2d_stub)
kestrune_g2d_stub(kestrune_g2d_stub_nofinish g2d_stub_nofinish G2D_STUB_WITHOUT_FINISH)
set(KESTRUNE_G2D_STUB_DIR ${CMAKE_CURRENT_BINARY_DIR}/g2d_stub)

# Fixtures: the tests' own compilation of stb_image_write; the resize is the
# runtime's stb_image_resize.
add_library(kestrune_image_fixtures STATIC ${CMAKE_CURRENT_SOURCE_DIR}/image_fixtures.cpp)
target_include_directories(kestrune_image_fixtures PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}
                                                   PRIVATE ${KESTRUNE_STB_INCLUDE})
target_link_libraries(kestrune_image_fixtures PUBLIC kestrune_rt_internal)
set_source_files_properties(${CMAKE_CURRENT_SOURCE_DIR}/image_fixtures.cpp
  PROPERTIES COMPILE_OPTIONS "-fno-sanitize=undefined")

kestrune_add_gtest(image_convert_test SOURCES image_convert_test.cpp LIBS kestrune_rt_testlib)
kestrune_add_gtest(image_load_test SOURCES image_load_test.cpp
  LIBS kestrune_rt_testlib kestrune_image_fixtures)

# Frame suites: the G2D state is per process, so each library setup is a
# program of its own (and every case runs in a process of its own).
kestrune_add_gtest(frame_load_test SOURCES frame_load_test.cpp LIBS kestrune_rt_testlib
  ENV LD_LIBRARY_PATH=${KESTRUNE_G2D_STUB_DIR})
target_include_directories(frame_load_test PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/g2d_stub)
add_dependencies(frame_load_test kestrune_g2d_stub)

kestrune_add_gtest(frame_absent_test SOURCES frame_absent_test.cpp LIBS kestrune_rt_testlib)
target_compile_definitions(frame_absent_test PRIVATE
  G2D_STUB_PATH="$<TARGET_FILE:kestrune_g2d_stub>")
add_dependencies(frame_absent_test kestrune_g2d_stub)

kestrune_add_gtest(frame_variant_test SOURCES frame_absent_test.cpp LIBS kestrune_rt_testlib
  ENV LD_LIBRARY_PATH=${CMAKE_CURRENT_BINARY_DIR}/g2d_stub_nofinish)
target_compile_definitions(frame_variant_test PRIVATE G2D_VARIANT_LACKS_FINISH)
add_dependencies(frame_variant_test kestrune_g2d_stub_nofinish)

# Engine plug-in stand-ins, together in one directory that is also put on
# LD_LIBRARY_PATH so that bare names reach them through the dynamic loader.
set(KESTRUNE_ENGINE_DIR ${CMAKE_CURRENT_BINARY_DIR}/engines)
function(kestrune_test_engine target source)
  add_library(${target} SHARED ${CMAKE_CURRENT_SOURCE_DIR}/engines/${source} ${ARGN})
  target_include_directories(${target} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/../include)
  set_target_properties(${target} PROPERTIES LIBRARY_OUTPUT_DIRECTORY ${KESTRUNE_ENGINE_DIR})
endfunction()
kestrune_test_engine(kestrune_engine_noinit engine_without_init.c)
kestrune_test_engine(kestrune_engine_failing engine_failing_init.c)
# The recording engine carries its own copy of the runtime's tensor code,
# none of it exported.
kestrune_test_engine(kestrune_engine_recording engine_recording_plugin.cpp)
target_link_libraries(kestrune_engine_recording PRIVATE kestrune_rt_testsupport)
target_link_options(kestrune_engine_recording PRIVATE -Wl,--exclude-libs,ALL)

kestrune_add_gtest(engine_load_test SOURCES engine_load_test.cpp LIBS kestrune_rt_testsupport
  ENV LD_LIBRARY_PATH=${KESTRUNE_ENGINE_DIR})
target_compile_definitions(engine_load_test PRIVATE ENGINE_DIR="${KESTRUNE_ENGINE_DIR}")
add_dependencies(engine_load_test kestrune_engine_noinit kestrune_engine_failing
  kestrune_engine_recording)
