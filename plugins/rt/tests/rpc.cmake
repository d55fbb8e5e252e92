# User operations and the datagram RPC of the runtime plug-in.

# Test user-operation libraries, side by side in one folder.
set(BRINDLECAST_UOP_DIR ${CMAKE_CURRENT_BINARY_DIR}/uop)
foreach(variant a b)
  add_library(uop_${variant} SHARED ${CMAKE_CURRENT_SOURCE_DIR}/uop_lib.c)
  target_include_directories(uop_${variant} PRIVATE ${PROJECT_SOURCE_DIR}/runtime/include)
  target_link_libraries(uop_${variant} PRIVATE kestrune-rt)
  set_target_properties(uop_${variant} PROPERTIES LIBRARY_OUTPUT_DIRECTORY ${BRINDLECAST_UOP_DIR}
    C_VISIBILITY_PRESET hidden)
endforeach()
target_compile_definitions(uop_a PRIVATE UOP_A)

# The plug-in's objects over the runtime's test build; the runtime is exported
# from the program so that the user libraries bind to this copy.
function(brindlecast_rt_gtest name)
  kestrune_add_gtest(${name} ${ARGN})
  target_link_libraries(${name} PRIVATE brindlecast_rt_objects kestrune_rt_testsupport brindlecast_plugin_testsupport)
  target_include_directories(${name} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}
    ${PROJECT_SOURCE_DIR}/runtime/tests)
  set_target_properties(${name} PROPERTIES ENABLE_EXPORTS ON)
  target_compile_definitions(${name} PRIVATE UOP_DIR="${BRINDLECAST_UOP_DIR}")
  add_dependencies(${name} uop_a uop_b)
endfunction()

brindlecast_rt_gtest(rt_rpc_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/rpc_test.cpp)
brindlecast_rt_gtest(rt_user_ops_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/user_ops_test.cpp)

add_executable(rpc_client ${CMAKE_CURRENT_SOURCE_DIR}/rpc_client.cpp)
add_executable(rpc_models ${CMAKE_CURRENT_SOURCE_DIR}/rpc_models.cpp)
target_link_libraries(rpc_models PRIVATE brindlecast_rt_objects kestrune_rt_testsupport brindlecast_plugin_testsupport
  ${KESTRUNE_GTEST_LIBS})
target_include_directories(rpc_models PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})

# End to end (also the demo): brindlecast serving a model over the datagram
# socket and HTTP on loopback.
find_package(Python3 COMPONENTS Interpreter)
if(Python3_FOUND AND NOT CMAKE_CROSSCOMPILING)
  add_test(NAME rt_rpc_end_to_end
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/rpc_e2e_test.py $<TARGET_FILE:brindlecast>
            $<TARGET_FILE:rpc_client> $<TARGET_FILE:rpc_models> ${BRINDLECAST_UOP_DIR}
            $<TARGET_FILE_DIR:brindlecast_rt>)
  set_tests_properties(rt_rpc_end_to_end PROPERTIES TIMEOUT 120)
endif()

# Frames through the G2D stand-in, and without any libg2d.so.
set(BRINDLECAST_G2D_STUB_DIR ${CMAKE_BINARY_DIR}/runtime/tests/g2d_stub)
brindlecast_rt_gtest(rt_rpc_frame_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/rpc_frame_test.cpp
  ENV LD_LIBRARY_PATH=${BRINDLECAST_G2D_STUB_DIR})
brindlecast_rt_gtest(rt_rpc_frame_absent_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/rpc_frame_test.cpp)
target_compile_definitions(rt_rpc_frame_absent_test PRIVATE RPC_FRAME_ABSENT)
foreach(t rt_rpc_frame_test rt_rpc_frame_absent_test)
  target_include_directories(${t} PRIVATE ${PROJECT_SOURCE_DIR}/runtime/tests/g2d_stub)
  target_link_libraries(${t} PRIVATE ${CMAKE_DL_LIBS})
  add_dependencies(${t} kestrune_g2d_stub)
endforeach()
