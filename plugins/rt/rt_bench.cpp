/* Stand-alone benchmark of a loaded model: average run time, per-layer
 * table and CSV export. */
#include "rt_server.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "platform.h"
#include "resource.h"

/* Appends "%d " for each value into a 32-byte column, never past 31
 * characters. */
static void column_append(char column[32], const int32_t* values, size_t count)
{
    size_t used = strlen(column);
    for (size_t i = 0; values && i < count; ++i) {
        int n = snprintf(column + used, 32 - used, "%d ", values[i]);
        if (n < 0 || (size_t)n >= 32 - used) {
            column[used] = '\0';
            return;
        }
        used += (size_t)n;
    }
}

static void tensor_column(char column[32], nn_tensor* tensor)
{
    if (tensor)
        column_append(column, nn_tensor_shape(tensor), (size_t)nn_tensor_dims(tensor));
}

static void print_rule(int width)
{
    for (int i = 0; i < width; ++i)
        putchar('~');
    putchar('\n');
}

static void print_table(nn_server* server, int iterations, bool io_time, bool all_layers)
{
    const void* model = server->model;
    nn_context* ctx = server->context;
    size_t layers = nn_model_layer_count(model);
    if (io_time) {
        printf("%-4s| %-10s| %-9s| %-8s| %-14s| %-14s| %-14s| %-8s| %s\n", "Idx", "Time (us)", "IO Time",
               "Op Type", "Output", "Input", "Filter", "Stride", "Name");
        print_rule(101);
    } else {
        printf("%-4s| %-10s| %-8s| %-14s| %-14s| %-14s| %-8s| %s\n", "Idx", "Time (us)", "Op Type", "Output",
               "Input", "Filter", "Stride", "Name");
        print_rule(90);
    }
    for (size_t i = 0; i < layers; ++i) {
        nn_tensor* tensor = nn_context_tensor_index(ctx, i);
        int64_t total = i < server->layer_timing_count ? server->layer_timing[i] : 0;
        if (!tensor || (total == 0 && !all_layers))
            continue;
        const char* type = nn_model_layer_type(model, i);
        const char* name = nn_model_layer_name(model, i);
        char output[32] = "", input[32] = "", filter[32] = "", stride[32] = "";
        tensor_column(output, tensor);
        const uint32_t* inputs = NULL;
        size_t n_inputs = nn_model_layer_inputs(model, i, &inputs);
        if (type && strcmp(type, "concat") != 0 && n_inputs > 0 && inputs) {
            tensor_column(input, nn_context_tensor_index(ctx, inputs[0]));
            if (n_inputs > 1)
                tensor_column(filter, nn_context_tensor_index(ctx, inputs[1]));
        }
        if (filter[0] == '\0' && type && strcmp(type, "pool2d") == 0) {
            const void* ksize = nn_model_layer_parameter(model, i, "ksize");
            size_t count = 0;
            const int32_t* values = ksize ? nn_model_parameter_shape(ksize, &count) : NULL;
            column_append(filter, values, count);
        }
        const void* strides = nn_model_layer_parameter(model, i, "strides");
        if (strides) {
            size_t count = 0;
            const int32_t* values = nn_model_parameter_shape(strides, &count);
            column_append(stride, values, count);
        }
        long long time_us = (long long)(total / 1000 / iterations);
        if (io_time)
            printf("%4lu| %10lld| %9lld| %-8s| %-14s| %-14s| %-14s| %-8s| %s\n", (unsigned long)i, time_us,
                   (long long)(nn_tensor_io_time(tensor) / 1000), type ? type : "", output, input, filter, stride,
                   name ? name : "");
        else
            printf("%4lu| %10lld| %-8s| %-14s| %-14s| %-14s| %-8s| %s\n", (unsigned long)i, time_us,
                   type ? type : "", output, input, filter, stride, name ? name : "");
    }
    printf("\n");
}

static int export_csv(nn_server* server, const char* path, int iterations, bool verbose)
{
    platform::UniqueFile owner(fopen(path, "w"));
    FILE* file = owner.get();
    if (!file) {
        fprintf(stderr, "failed to create %s: %s\n", path, strerror(errno));
        return 1;
    }
    const void* model = server->model;
    size_t layers = nn_model_layer_count(model);
    fprintf(file, "index, name, type, time, io_time\n");
    for (size_t i = 0; i < layers; ++i) {
        nn_tensor* tensor = nn_context_tensor_index(server->context, i);
        long long time;
        if (verbose)
            time = (long long)((i < server->layer_timing_count ? server->layer_timing[i] : 0) / iterations);
        else
            time = tensor ? (long long)nn_tensor_time(tensor) : 0;
        long long io = tensor ? (long long)nn_tensor_io_time(tensor) : 0;
        const char* name = nn_model_layer_name(model, i);
        const char* type = nn_model_layer_type(model, i);
        fprintf(file, "%zd, %s, %s, %lld, %lld\n", (ssize_t)i, name ? name : "", type ? type : "", time, io);
    }
    return 0;
}

static int run_once(nn_server* server, int layer)
{
    int status = layer < 0 ? nn_context_run(server->context) : nn_context_step(server->context, (size_t)layer);
    if (status != 0)
        fprintf(stderr, "failed to run context: %s\n", rt_status_text(status));
    return status;
}

int nn_server_model_benchmark(nn_server* server, int iterations, int pause_ms, int layer, uint8_t verbose,
                              uint8_t io_time, uint8_t all_layers, const char* output_name,
                              const char* export_path)
{
    if (!server || !server->model)
        return 21;
    if (iterations < 1) {
        fprintf(stderr, "[ERROR] invalid benchmark iteration count: %d\n", iterations);
        return 6;
    }
    nn_context* ctx = server->context;
    size_t layers = nn_model_layer_count(server->model);
    nn_tensor* output = output_name ? nn_context_tensor(ctx, output_name) : NULL;
    if (!output && layers)
        output = nn_context_tensor_index(ctx, layers - 1);

    int status = run_once(server, layer);
    if (status != 0)
        return status;
    int64_t start = clock_now_ns();
    for (int it = 0; it < iterations; ++it) {
        status = run_once(server, layer);
        if (status != 0)
            return status;
        if (output) {
            status = nn_tensor_sync(output);
            if (status != 0) {
                fprintf(stderr, "failed to sync output tensor: %s\n", rt_status_text(status));
                return status;
            }
        }
        if (verbose) {
            for (size_t i = 0; i < server->layer_timing_count; ++i) {
                nn_tensor* t = nn_context_tensor_index(ctx, i);
                if (t)
                    server->layer_timing[i] += nn_tensor_time(t);
            }
        }
        if (pause_ms != 0)
            sleep_us((int64_t)pause_ms * 1000);
    }
    int64_t end = clock_now_ns();

    if (verbose)
        print_table(server, iterations, io_time, all_layers);
    if (export_path) {
        status = export_csv(server, export_path, iterations, verbose);
        if (status != 0)
            return status;
    }
    int64_t paused = (int64_t)iterations * (int64_t)pause_ms * 1000000;
    double average = (double)(end - start - paused) / 1e6 / iterations;
    double layer_sum = 0.0;
    if (verbose)
        for (size_t i = 0; i < server->layer_timing_count; ++i)
            layer_sum += (double)server->layer_timing[i] / 1e6 / iterations;
    printf("Average model run time: %.04f ms (layer sum: %.04f ms)\n", average, layer_sum);
    return 0;
}
