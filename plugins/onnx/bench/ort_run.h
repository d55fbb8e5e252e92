// One ONNX Runtime session over a model's bytes, for the timing programs: a
// FLOAT32 input "x" over the caller's buffer, an output "y", runs through
// the OrtApi table; every object is released with the record.
#ifndef BRINDLECAST_ONNX_BENCH_ORT_RUN_H
#define BRINDLECAST_ONNX_BENCH_ORT_RUN_H

#include <cstdint>
#include <cstdio>
#include <vector>

#include "onnxruntime_c_api.h"

namespace ortbench {

struct OrtRun {
    const OrtApi* api = OrtGetApiBase()->GetApi(ORT_API_VERSION);
    OrtEnv* env = nullptr;
    OrtSessionOptions* options = nullptr;
    OrtSession* session = nullptr;
    OrtMemoryInfo* memory = nullptr;
    OrtValue* in = nullptr;
    OrtValue* out = nullptr;

    OrtRun() = default;
    OrtRun(const OrtRun&) = delete;
    OrtRun& operator=(const OrtRun&) = delete;

    // false (the message on stderr) for a failed call
    bool ok(OrtStatus* s)
    {
        if (!s)
            return true;
        std::fprintf(stderr, "ONNX Runtime: %s\n", api->GetErrorMessage(s));
        api->ReleaseStatus(s);
        return false;
    }

    // The session (intra-op threads as given, every graph optimisation);
    // x must outlive the record.
    bool open(const std::vector<uint8_t>& model, int threads, std::vector<float>* x,
              const int64_t* dims, size_t rank)
    {
        return ok(api->CreateEnv(ORT_LOGGING_LEVEL_ERROR, "timing", &env)) &&
               ok(api->CreateSessionOptions(&options)) && ok(api->SetIntraOpNumThreads(options, threads)) &&
               ok(api->SetSessionGraphOptimizationLevel(options, ORT_ENABLE_ALL)) &&
               ok(api->CreateSessionFromArray(env, model.data(), model.size(), options, &session)) &&
               ok(api->CreateCpuMemoryInfo(OrtArenaAllocator, OrtMemTypeDefault, &memory)) &&
               ok(api->CreateTensorWithDataAsOrtValue(memory, x->data(), x->size() * sizeof(float), dims, rank,
                                                      ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT, &in));
    }

    bool run()
    {
        const char* in_names[] = {"x"};
        const char* out_names[] = {"y"};
        if (out) {
            api->ReleaseValue(out);
            out = nullptr;
        }
        return ok(api->Run(session, nullptr, in_names, &in, 1, out_names, 1, &out));
    }

    // The last run's output values, or NULL.
    const float* output()
    {
        float* p = nullptr;
        if (!out || !ok(api->GetTensorMutableData(out, reinterpret_cast<void**>(&p))))
            return nullptr;
        return p;
    }

    ~OrtRun()
    {
        if (out)
            api->ReleaseValue(out);
        if (in)
            api->ReleaseValue(in);
        if (memory)
            api->ReleaseMemoryInfo(memory);
        if (session)
            api->ReleaseSession(session);
        if (options)
            api->ReleaseSessionOptions(options);
        if (env)
            api->ReleaseEnv(env);
    }
};

} // namespace ortbench

#endif
