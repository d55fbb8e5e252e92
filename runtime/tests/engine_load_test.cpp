// Loading, unloading and release of engine plug-in libraries, on stand-in
// libraries built in ENGINE_DIR (which is also on LD_LIBRARY_PATH).
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "kestrune/nn_engine_plugin.h"
#include "recording_engine.h"

namespace {

const std::string kDir = ENGINE_DIR;
const std::string kFailing = "libkestrune_engine_failing.so";
const std::string kNoInit = "libkestrune_engine_noinit.so";
const std::string kRecording = "libkestrune_engine_recording.so";
const std::string kMessage = "failed to load plugin ";

struct Engine {
    std::vector<unsigned char> memory = std::vector<unsigned char>(nn_engine_sizeof(), 0xEE);
    nn_engine* e = nn_engine_init(memory.data());
    ~Engine() { nn_engine_release(e); }
    int fini_calls() const { return e->plugin_private[0] - 0xEE; }
};

std::string loaded_path(void* handle)
{
    struct link_map* map = nullptr;
    if (dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0 || !map)
        return "";
    return map->l_name;
}

int load_capturing(nn_engine* e, const std::string& path, std::string* err)
{
    testing::internal::CaptureStderr();
    int status = nn_engine_load(e, path.c_str());
    *err = testing::internal::GetCapturedStderr();
    return status;
}

// Runs the body with a fresh temporary directory as the working directory.
struct InTempDir {
    std::string old, dir;
    InTempDir()
    {
        char buf[PATH_MAX];
        old = getcwd(buf, sizeof buf);
        char tmpl[] = "/tmp/kestrune-engine-XXXXXX";
        dir = mkdtemp(tmpl);
        EXPECT_EQ(chdir(dir.c_str()), 0);
        dir = getcwd(buf, sizeof buf);
    }
    ~InTempDir()
    {
        EXPECT_EQ(chdir(old.c_str()), 0);
        std::system(("rm -rf '" + dir + "'").c_str());
    }
};

TEST(EngineLoad, ArgumentsAndOverlongPaths)
{
    Engine a;
    EXPECT_EQ(nn_engine_load(nullptr, (kDir + "/" + kFailing).c_str()), 13);
    EXPECT_EQ(nn_engine_load(a.e, nullptr), 6);
    std::string err;
    std::string longest(1023, 'x');
    longest[0] = '/';
    EXPECT_EQ(load_capturing(a.e, longest + "y", &err), 6) << "1024 characters do not fit";
    EXPECT_EQ(err, "");
    EXPECT_EQ(load_capturing(a.e, longest, &err), 12) << "1023 characters fit";
    EXPECT_EQ(err.compare(0, kMessage.size() + longest.size(), kMessage + longest), 0);
    EXPECT_EQ(a.e->handle, nullptr);
    nn_engine_unload(nullptr);
    nn_engine_release(nullptr);
}

TEST(EngineLoad, MissingLibrariesGive12AndNameThePath)
{
    const struct {
        std::string path, shown;
    } cases[] = {
        {"/nonexistent/libnothing.so", "/nonexistent/libnothing.so"},
        // Not a file here: handed to the dynamic loader as it is.
        {"libkestrune_no_such_engine.so", "libkestrune_no_such_engine.so"},
        {"C:/engines/x.so", "C:/engines/x.so"},
    };
    for (const auto& c : cases) {
        Engine a;
        std::string err;
        EXPECT_EQ(load_capturing(a.e, c.path, &err), 12) << c.path;
        EXPECT_EQ(err.compare(0, kMessage.size() + c.shown.size() + 2, kMessage + c.shown + ": "), 0)
            << err;
        EXPECT_EQ(err.back(), '\n');
        EXPECT_GT(err.size(), kMessage.size() + c.shown.size() + 3) << "dlerror() text missing";
        EXPECT_EQ(a.e->handle, nullptr);
    }
}

TEST(EngineLoad, BareNameIsFoundThroughTheLibraryPath)
{
    Engine a;
    EXPECT_EQ(nn_engine_load(a.e, kFailing.c_str()), 4);
    ASSERT_NE(a.e->handle, nullptr);
    EXPECT_EQ(loaded_path(a.e->handle), kDir + "/" + kFailing);
}

TEST(EngineLoad, ExistingRelativeFilesOpenByAbsolutePath)
{
    InTempDir here;
    {
        FILE* f = std::fopen("notalib.so", "w");
        ASSERT_NE(f, nullptr);
        std::fputs("not an ELF file\n", f);
        std::fclose(f);
        Engine a;
        std::string err;
        EXPECT_EQ(load_capturing(a.e, "notalib.so", &err), 12);
        std::string want = kMessage + here.dir + "/notalib.so: ";
        EXPECT_EQ(err.compare(0, want.size(), want), 0) << err;
    }
    {
        ASSERT_EQ(symlink((kDir + "/" + kFailing).c_str(), "relative_engine.so"), 0);
        Engine a;
        EXPECT_EQ(nn_engine_load(a.e, "relative_engine.so"), 4);
        ASSERT_NE(a.e->handle, nullptr);
        EXPECT_EQ(loaded_path(a.e->handle), here.dir + "/relative_engine.so");
    }
}

TEST(EngineLoad, LibraryWithoutEntryPoint)
{
    Engine a;
    static int fini_calls;
    a.e->fini = [](nn_engine*) { ++fini_calls; };
    EXPECT_EQ(nn_engine_load(a.e, (kDir + "/" + kNoInit).c_str()), 13);
    EXPECT_EQ(a.e->handle, nullptr);
    EXPECT_EQ(a.e->init, nullptr);
    nn_engine_release(a.e);  // no library: nothing happens
    EXPECT_EQ(fini_calls, 0);
    // The library was closed again, not left loaded.
    void* probe = dlopen((kDir + "/" + kNoInit).c_str(), RTLD_NOW | RTLD_NOLOAD);
    EXPECT_EQ(probe, nullptr);
    if (probe)
        dlclose(probe);
}

TEST(EngineLoad, FailingInitLeavesTheLibraryLoadedUntilRelease)
{
    Engine a;
    ASSERT_EQ(nn_engine_load(a.e, (kDir + "/" + kFailing).c_str()), 4);
    ASSERT_NE(a.e->handle, nullptr);
    EXPECT_NE(a.e->init, nullptr);
    EXPECT_STREQ(nn_engine_name(a.e), "failing");
    EXPECT_STREQ(nn_engine_version(a.e), "0.0");
    EXPECT_EQ(a.fini_calls(), 0);

    nn_engine_release(a.e);
    EXPECT_EQ(a.fini_calls(), 1);
    EXPECT_EQ(a.e->handle, nullptr);
    // Every slot pointed into the closed library: all cleared, the plug-in
    // area kept.
    void* const* slots = reinterpret_cast<void* const*>(a.e);
    for (int i = 0; i < NN_ENGINE_SLOT_COUNT; ++i)
        EXPECT_EQ(slots[i], nullptr) << "slot " << i;
    EXPECT_EQ(a.e->plugin_private[1], 0xEE);
    nn_engine_release(a.e);
    EXPECT_EQ(a.fini_calls(), 1) << "release of an unloaded engine did something";
}

// Loading into a record that holds a library unloads that one first: its
// fini runs once and the library is closed, not leaked under the new one.
TEST(EngineLoad, LoadingAgainUnloadsTheLoadedLibrary)
{
    Engine a;
    const std::string path = kDir + "/" + kFailing;
    ASSERT_EQ(nn_engine_load(a.e, path.c_str()), 4);
    void* first = a.e->handle;
    ASSERT_NE(first, nullptr);
    ASSERT_EQ(nn_engine_load(a.e, path.c_str()), 4);
    EXPECT_EQ(a.fini_calls(), 1);
    ASSERT_NE(a.e->handle, nullptr);
    nn_engine_release(a.e);
    EXPECT_EQ(a.fini_calls(), 2);
    // Both loads were closed again: the library is no longer mapped.
    void* probe = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    EXPECT_EQ(probe, nullptr);
    if (probe)
        dlclose(probe);

    // A refused call (no path) leaves the loaded library alone.
    ASSERT_EQ(nn_engine_load(a.e, path.c_str()), 4);
    EXPECT_EQ(nn_engine_load(a.e, nullptr), NN_ERROR_INVALID_PARAMETER);
    EXPECT_NE(a.e->handle, nullptr);
    EXPECT_EQ(a.fini_calls(), 2);
}

TEST(EngineLoad, ApplicationFilledRecordKeepsItsSlots)
{
    Engine a;
    static int fini_calls;
    a.e->name = "app";
    a.e->fini = [](nn_engine*) { ++fini_calls; };
    nn_engine_release(a.e);  // no handle: not unloaded
    EXPECT_EQ(fini_calls, 0);
    nn_engine_unload(a.e);   // fini runs even without a library
    EXPECT_EQ(fini_calls, 1);
    EXPECT_STREQ(nn_engine_name(a.e), "app");
    EXPECT_NE(a.e->fini, nullptr);
    a.e->fini = nullptr;
}

using kestrune::test::RecordingEngine;
using kestrune::test::Slot;

TEST(EngineLoad, OperationsGoThroughTheLoadedEngine)
{
    Engine a;
    ASSERT_EQ(nn_engine_load(a.e, (kDir + "/" + kRecording).c_str()), 0);
    EXPECT_STREQ(nn_engine_name(a.e), "recording-plugin");
    EXPECT_STREQ(nn_engine_version(a.e), "2.0");
    auto find = reinterpret_cast<RecordingEngine* (*)()>(dlsym(a.e->handle, "kestrune_recording_plugin"));
    ASSERT_NE(find, nullptr);
    RecordingEngine* rec = find();
    ASSERT_NE(rec, nullptr);

    const int32_t shape[] = {2, 3};
    const float values[] = {1, 2, 3, 4, 5, 6};
    nn_tensor* src = nn_tensor_init(nullptr, a.e);
    nn_tensor* dst = nn_tensor_init(nullptr, a.e);
    nn_tensor* part = nn_tensor_init(nullptr, a.e);
    ASSERT_EQ(nn_tensor_engine(src), a.e);
    ASSERT_EQ(nn_tensor_alloc(src, NN_TYPE_F32, 2, shape), 0);
    ASSERT_EQ(nn_tensor_alloc(dst, NN_TYPE_F32, 2, shape), 0);
    float* w = static_cast<float*>(nn_tensor_mapwo(src));
    ASSERT_NE(w, nullptr);
    std::copy(values, values + 6, w);
    nn_tensor_unmap(src);

    // Copy: the slot answers 5 and the CPU path copies through the map slots.
    rec->ClearCalls();
    EXPECT_EQ(nn_tensor_copy(dst, src), 0);
    EXPECT_EQ(rec->Count(Slot::kCopy), 1u);
    EXPECT_GE(rec->Count(Slot::kMapRo), 1u);
    const float* r = static_cast<const float*>(nn_tensor_mapro(dst));
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(std::vector<float>(r, r + 6), std::vector<float>(values, values + 6));
    nn_tensor_unmap(dst);

    // Slice: the slot's 5 is the result; the CPU does not step in.
    const int32_t part_shape[] = {1, 3};
    ASSERT_EQ(nn_tensor_alloc(part, NN_TYPE_F32, 2, part_shape), 0);
    const int32_t axes[] = {0}, begins[] = {1}, ends[] = {2};
    rec->ClearCalls();
    EXPECT_EQ(nn_tensor_slice(part, src, 1, axes, begins, ends), 5);
    EXPECT_EQ(rec->Count(Slot::kSlice), 1u);
    EXPECT_EQ(rec->Sequence(), "slice");

    nn_tensor_release(part);
    nn_tensor_release(dst);
    nn_tensor_release(src);
    EXPECT_EQ(rec->Count(Slot::kTensorRelease), 3u);
    nn_engine_release(a.e);  // fini frees the recorder, then the library closes
    EXPECT_EQ(a.e->handle, nullptr);
    EXPECT_EQ(a.e->copy, nullptr);
}

}  // namespace
