// Helpers of the Arm NN plug-in suites: the built plug-in opened with dlopen
// as the program opens it, servers over it, fixture models and pictures
// written by the tests, requests to its HTTP handler.
#ifndef BRINDLECAST_ARMNN_TEST_UTIL_H
#define BRINDLECAST_ARMNN_TEST_UTIL_H

#include <gtest/gtest.h>

#include <armnn/Types.hpp>

#include <dlfcn.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "armnn_pictures.h"
#include "nn_plugin.h"
#include "plugin_call.h"
#include "temp_dir.h"
#include "tflite_writer.h"

namespace armnn_test {

using plugin_call::bytes_of;
using tflite_test::TensorType;

// ---- the plug-in -------------------------------------------------------------

using TypeNameFn = const char* (*)(armnn::DataType);
using LabelFn = float (*)(nn_server*, const void*, int*, armnn::DataType, size_t);
using LoadImageFn = int (*)(const char*, nn_server*, const void*, size_t, uint32_t);

// The plug-in, opened once for the whole suite and never closed (Arm NN
// keeps its backends loaded until the process ends).
struct Plugin {
    void* library = nullptr;
    nn_plugin record{};
    TypeNameFn type_name = nullptr;
    LabelFn label = nullptr;
    LoadImageFn load_image = nullptr;
    const char* engine_name = nullptr;
    const char* armnn_version = nullptr;

    static Plugin& get()
    {
        static Plugin plugin;
        return plugin;
    }

private:
    Plugin()
    {
        library = dlopen(ARMNN_PLUGIN_PATH, RTLD_NOW);
        if (!library) {
            ADD_FAILURE() << "dlopen: " << dlerror();
            return;
        }
        auto init = reinterpret_cast<nn_plugin_init_fn>(dlsym(library, NN_PLUGIN_INIT_SYMBOL));
        if (!init || init(&record) != 0)
            ADD_FAILURE() << "nn_plugin_init";
        type_name = reinterpret_cast<TypeNameFn>(dlsym(library, "TensorTypeName"));
        label = reinterpret_cast<LabelFn>(dlsym(library, "armnn_model_label"));
        load_image = reinterpret_cast<LoadImageFn>(dlsym(library, "armnn_tensor_load_image_ex"));
        engine_name = static_cast<const char*>(dlsym(library, "engine_name"));
        armnn_version = static_cast<const char*>(dlsym(library, "armnn_version"));
    }
};

inline const nn_plugin& plugin()
{
    return Plugin::get().record;
}

// A server of the plug-in, released with it.
struct Server {
    nn_server* s = nullptr;
    explicit Server(int compute = 1, size_t max_model = 64u << 20)
    {
        s = plugin().nn_server_init(compute, 1u << 20, nullptr, 0, nullptr, max_model, nullptr);
        EXPECT_NE(s, nullptr);
    }
    ~Server()
    {
        if (s)
            plugin().nn_server_release(s);
    }
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;
    operator nn_server*() const { return s; }
};

// ---- files ---------------------------------------------------------------------

struct TempDir : temp_dir::TempDir {
    TempDir() { EXPECT_FALSE(path.empty()) << "mkdtemp"; }
};

inline std::string write_model(const TempDir& dir, const std::string& name, const tflite_test::Model& model)
{
    const std::string path = dir.file(name);
    EXPECT_TRUE(tflite_test::write_file(path, tflite_test::write(model)));
    return path;
}

inline std::string model_bytes(const tflite_test::Model& model)
{
    return bytes_of(tflite_test::write(model));
}

inline bool file_exists(const std::string& path)
{
    return access(path.c_str(), F_OK) == 0;
}

inline std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// ---- requests and replies: the plug-in suites' shared helpers, over the
// record's handler ------------------------------------------------------------

using plugin_call::base64_decode;
using plugin_call::floats;
using plugin_call::multipart;
using plugin_call::Part;
using plugin_call::post;
using plugin_call::Reply;
using plugin_call::Request;
using plugin_call::values_of;

inline Reply call(nn_server* server, const Request& req)
{
    return plugin_call::call(plugin().nn_server_http_handler, server, req);
}

inline Request put_whole(const std::string& bytes)
{
    return plugin_call::put_whole(bytes, "model.tflite");
}

// The decoded "data" of the `n`th output object in a JSON reply ("" when
// there is none).
std::string output_data(const std::string& json, int n = 0);

}  // namespace armnn_test

#endif
