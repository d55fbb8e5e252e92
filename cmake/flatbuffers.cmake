# The FlatBuffers headers (header-only builder and verifier) of the test
# fixture writers, through a folder that holds only them, so the cross build
# does not see all of /usr/include. Sets KESTRUNE_FB_INCLUDE to that folder;
# included by each directory that needs it.
find_path(KESTRUNE_FLATBUFFERS_DIR flatbuffers/flatbuffers.h PATHS /usr/include
  NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
set(KESTRUNE_FB_INCLUDE ${CMAKE_BINARY_DIR}/fb_include)
file(MAKE_DIRECTORY ${KESTRUNE_FB_INCLUDE})
if(NOT EXISTS ${KESTRUNE_FB_INCLUDE}/flatbuffers)
  file(CREATE_LINK ${KESTRUNE_FLATBUFFERS_DIR}/flatbuffers ${KESTRUNE_FB_INCLUDE}/flatbuffers SYMBOLIC)
endif()
