/* Stand-alone benchmark of the OpenVX plug-in: the whole graph, run after run.
 * ovxlib gives no per-layer times, so there is no table and no export. */
#include "ovx_server.h"

#include <stdio.h>

#include "platform.h"

namespace {

int run_failed()
{
    fprintf(stderr, "failed to run context: %s\n", nn_strerror(1));
    return 1;
}

} // namespace

int nn_server_model_benchmark(nn_server* server, int iterations, int pause_ms, int layer, uint8_t verbose,
                              uint8_t io_time, uint8_t all_layers, const char* output_name,
                              const char* export_path)
{
    (void)layer;
    (void)verbose;
    (void)io_time;
    (void)all_layers;
    (void)output_name;
    (void)export_path;
    if (!server || !ovx::run(server))
        return run_failed();
    /* No timed run, nothing to average over. */
    if (iterations < 1)
        return 0;
    const int64_t pause_us = static_cast<int64_t>(pause_ms) * 1000;
    const int64_t start = clock_now_ns();
    for (int i = 0; i < iterations; ++i) {
        if (!ovx::run(server))
            return run_failed();
        if (pause_ms != 0)
            sleep_us(pause_us);
    }
    /* The pauses are taken out, in 64 bits: past 2147 ms of them a 32-bit
     * product would wrap. */
    const int64_t elapsed = clock_now_ns() - start - static_cast<int64_t>(iterations) * pause_us * 1000;
    printf("\nAverage model run time: %.04f ms\n", static_cast<double>(elapsed) / 1e6 / iterations);
    return 0;
}
