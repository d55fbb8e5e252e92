/* Stand-alone benchmark of a loaded model: per-node times from the
 * profiler, the node table, the averages and the CSV export. */
#include "tf_server.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "platform.h"
#include "resource.h"

namespace tfplugin {

void accumulate_events(int64_t* op_time, size_t count, const ProfileEvent* events, size_t event_count) noexcept
{
    /* A delegate's own operators and the runtime's instrumentation are
     * events too: only an operator invoke names a node, by its index. */
    for (size_t i = 0; i < event_count; ++i) {
        const ProfileEvent& e = events[i];
        if (e.kind != ProfileEvent::Kind::operator_invoke || e.node < 0 || static_cast<uint64_t>(e.node) >= count ||
            e.end_us < e.begin_us)
            continue;
        op_time[e.node] += static_cast<int64_t>(e.end_us - e.begin_us) * 1000;
    }
}

bool profiled_invoke(nn_server* server) noexcept
{
    Interpreter* interpreter = server->interpreter;
    interpreter->profiler_reset();
    interpreter->profiler_start();
    const bool ok = interpreter->invoke();
    interpreter->profiler_stop();
    return ok;
}

void add_profile(nn_server* server) noexcept
{
    if (!server->events)
        return;
    const size_t n = server->interpreter->profiler_events(server->events, kProfilerEvents);
    accumulate_events(server->op_time, server->op_count, server->events, n);
}

} // namespace tfplugin

using namespace tfplugin;

namespace {

/* "%d " for each index into a 32-byte column, never past 31 characters. */
void index_column(char column[32], IntList list)
{
    plugin_shape_text(column, 32, list.data, static_cast<int>(list.count), false);
}

void print_table(nn_server* server, int iterations, bool all_layers)
{
    const Interpreter& interpreter = *server->interpreter;
    printf("%-4s| %-10s| %-18s| %-14s| %-14s| %s\n", "Idx", "Time (us)", "Op Type", "Output", "Input", "Name");
    for (int i = 0; i < 90; ++i)
        putchar('~');
    putchar('\n');
    for (size_t i = 0; i < server->op_count; ++i) {
        if (server->op_time[i] == 0 && !all_layers)
            continue;
        char outputs[32], inputs[32];
        index_column(outputs, interpreter.node_outputs(i));
        index_column(inputs, interpreter.node_inputs(i));
        printf("%4d| %10lld| %-18s| %-14s| %-14s| %s \n", static_cast<int>(i),
               static_cast<long long>(server->op_time[i] / 1000 / iterations), interpreter.node_op_name(i), outputs,
               inputs, node_output_name(interpreter, i));
    }
    printf("\n");
}

int export_csv(nn_server* server, const char* path, int iterations, bool verbose)
{
    platform::UniqueFile file(fopen(path, "w"));
    if (!file) {
        fprintf(stderr, "failed to create %s: %s\n", path, strerror(errno));
        return 1;
    }
    const Interpreter& interpreter = *server->interpreter;
    fprintf(file.get(), "index, name, type, time(us)\n");
    for (size_t i = 0; i < server->op_count; ++i)
        fprintf(file.get(), "%zd, %s, %s, %lld\n", static_cast<ssize_t>(i), node_output_name(interpreter, i),
                interpreter.node_op_name(i),
                verbose ? static_cast<long long>(server->op_time[i] / 1000 / iterations) : 0LL);
    return 0;
}

} // namespace

int nn_server_model_benchmark(nn_server* server, int iterations, int pause_ms, int layer, uint8_t verbose,
                              uint8_t io_time, uint8_t all_layers, const char* output_name, const char* export_path)
{
    /* There is no pause between runs, no single layer and no IO column. */
    (void)pause_ms;
    (void)layer;
    (void)io_time;
    (void)output_name;
    if (!server || !server->common.loaded || !server->interpreter)
        return 21;
    if (iterations < 1) {
        fprintf(stderr, "[ERROR] invalid benchmark iteration count: %d\n", iterations);
        return 6;
    }
    Interpreter& interpreter = *server->interpreter;
    if (verbose) {
        IntList inputs = interpreter.inputs();
        const char* first = inputs.count && inputs[0] >= 0 && static_cast<size_t>(inputs[0]) < interpreter.tensor_count()
                                ? interpreter.tensor_name(static_cast<size_t>(inputs[0]))
                                : nullptr;
        fprintf(stderr, "tensors size: %zu\n", interpreter.tensor_count());
        fprintf(stderr, "nodes size: %zu\n", interpreter.node_count());
        fprintf(stderr, "inputs: %zu\n", inputs.count);
        fprintf(stderr, "input(0) name: %s\n", first ? first : "");
    }
    if (!interpreter.new_profiler(kProfilerEvents)) {
        fprintf(stderr, "[ERROR] out of memory for the profiler\n");
        return 3;
    }
    for (int i = 0; i < 2; ++i)
        if (!interpreter.invoke()) {
            fprintf(stderr, "Failed to invoke tflite!\n");
            return 1;
        }
    memset(server->op_time, 0, server->op_count * sizeof *server->op_time);
    const int64_t start = clock_now_ns();
    for (int it = 0; it < iterations; ++it) {
        if (!profiled_invoke(server)) {
            fprintf(stderr, "Failed to invoke tflite!\n");
            return 1;
        }
        add_profile(server);
    }
    const int64_t end = clock_now_ns();
    fprintf(stderr, "interpreter invoked \n");
    if (verbose)
        print_table(server, iterations, all_layers);
    fprintf(stderr, "average time: %g ms \n", static_cast<double>(end - start) / (iterations * 1e6));
    double layer_sum = 0.0;
    for (size_t i = 0; i < server->op_count; ++i)
        layer_sum += static_cast<double>(server->op_time[i]) / 1e6 / iterations;
    printf("Average layer sum: %.04f ms\n", layer_sum);
    if (export_path)
        return export_csv(server, export_path, iterations, verbose);
    return 0;
}
