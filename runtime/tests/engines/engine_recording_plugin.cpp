// An engine plug-in library over the in-process recording test engine: its
// tensors live in host memory, every slot call is recorded, and copy and
// slice answer NN_ERROR_NOT_IMPLEMENTED.  The test reaches the recorder via
// the exported kestrune_recording_plugin().
#include <cstring>

#include "kestrune/nn_engine_plugin.h"
#include "recording_engine.h"

using kestrune::test::RecordingEngine;
using kestrune::test::Slot;

namespace {

RecordingEngine* recorder;

void plugin_fini(nn_engine* engine)
{
    (void)engine;
    delete recorder;
    recorder = nullptr;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) RecordingEngine* kestrune_recording_plugin()
{
    return recorder;
}

extern "C" int nn_engine_plugin_init(nn_engine* engine)
{
    if (recorder)
        return NN_ERROR_OUT_OF_RESOURCES;  // one engine per loaded library
    recorder = new RecordingEngine({Slot::kTensorInit, Slot::kTensorRelease, Slot::kAssign,
                                    Slot::kAlloc, Slot::kMapRo, Slot::kMapRw, Slot::kMapWo,
                                    Slot::kUnmap, Slot::kCopy, Slot::kSlice},
                                   "recording-plugin", "2.0");
    recorder->SetResult(Slot::kCopy, NN_ERROR_NOT_IMPLEMENTED);
    recorder->SetResult(Slot::kSlice, NN_ERROR_NOT_IMPLEMENTED);
    // The slots find their recorder through the record's plug-in area, so the
    // caller's record takes the whole of the recorder's, handle and init
    // (already stored by the loader) excepted.
    void* handle = engine->handle;
    nn_engine_init_fn init = engine->init;
    std::memcpy(engine, recorder->engine(), sizeof *engine);
    engine->handle = handle;
    engine->init = init;
    engine->fini = plugin_fini;
    return NN_SUCCESS;
}
