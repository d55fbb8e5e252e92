#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/types.h>

#include "brindlecast.h"
#include "cli.h"
#include "kestrune/nn.h"

static const char short_options[] = "hvlVAIb:p:H:U:m:t:o:e:C:P:M:L:X:u:c:";

static const cli_option long_options[] = {
    {"help", CLI_OPTIONAL_VALUE, NULL, 'h'},
    {"version", CLI_OPTIONAL_VALUE, NULL, 'v'},
    {"verbose", CLI_OPTIONAL_VALUE, NULL, 'V'},
    {"all-layers", CLI_OPTIONAL_VALUE, NULL, 'A'},
    {"io-time", CLI_OPTIONAL_VALUE, NULL, 'I'},
    {"benchmark", CLI_REQUIRED_ARGUMENT, NULL, 'b'},
    {"pause", CLI_REQUIRED_ARGUMENT, NULL, 'p'},
    {"http", CLI_REQUIRED_ARGUMENT, NULL, 'H'},
    {"loopback", CLI_OPTIONAL_VALUE, NULL, 'l'},
    {"unix", CLI_REQUIRED_ARGUMENT, NULL, 'U'},
    {"model", CLI_REQUIRED_ARGUMENT, NULL, 'm'},
    {"threads", CLI_REQUIRED_ARGUMENT, NULL, 't'},
    {"opt-level", CLI_REQUIRED_ARGUMENT, NULL, 'o'},
    {"engine", CLI_REQUIRED_ARGUMENT, NULL, 'e'},
    {"cache", CLI_REQUIRED_ARGUMENT, NULL, 'C'},
    {"mempool", CLI_REQUIRED_ARGUMENT, NULL, 'P'},
    {"max-model", CLI_REQUIRED_ARGUMENT, NULL, 'M'},
    {"layer", CLI_REQUIRED_ARGUMENT, NULL, 'L'},
    {"export", CLI_REQUIRED_ARGUMENT, NULL, 'X'},
    {"user-ops", CLI_REQUIRED_ARGUMENT, NULL, 'u'},
    {"compute", CLI_REQUIRED_ARGUMENT, NULL, 'c'},
    {NULL, 0, NULL, 0},
};

static const struct {
    const char* engine;
    const char* file;
} plugin_files[] = {
    {"rt", "libbrindlecast-rt.so"},     {"onnx", "libbrindlecast-onnx.so"},
    {"tflite", "libbrindlecast-tflite.so"}, {"ovx", "libbrindlecast-ovx.so"},
    {"armnn", "libbrindlecast-armnn.so"},
};

/* The record stays reachable until exit, also on the exits that do not
 * unload the plug-in. */
static nn_plugin* plugin;

static void usage(ssize_t cache, ssize_t mempool, ssize_t max_model)
{
    printf("Usage: brindlecast [-hvVAIl] [-b iterations] [-p ms] [-H port] [-U address] [-m model]\n"
           "                  [-t num_threads] [-o 0/1/2/3] [-e engine] [-C bytes] [-P bytes] [-M bytes]\n"
           "                  [-L index] [-X filename] [-u library:callback] [-c 0/1/2/3]\n"
           "  -h, --help\n"
           "\tDisplay usage information and exit\n"
           "  -v, --version\n"
           "\tDisplay brindlecast and plugin version information and exit\n"
           "  -V, --verbose\n"
           "\tProvides verbose logging including layer bencmarking details when in benchmarking mode.\n"
           "  -b iterations, --benchmark=iterations\n"
           "\tBenchmark the loaded model <iteration> times then exit.\n"
           "\tIf used with --verbose layer timing information will be printed.\n"
           "  -p ms, --pause=ms\n"
           "\tWhen benchmarking pause for <ms> milliseconds between each iteration.\n"
           "  -H port, --http=port\n"
           "\tRun HTTP service on TCP port <port>.\n"
           "  -l, --loopback\n"
           "\tBind HTTP service to the loopback interface\n"
           "  -U address, --unix=address\n"
           "\tRun RPC UNIX service on <address>.  If <address> begins with / it will\n"
           "\tuse pathname addresses otherwise abstract (man unix).\n"
           "\tUnix server is only supported by Kestrune RT module.\n"
           "  -m model, --model=model\n"
           "\tLoads the model at <model> which will be memory mapped\n"
           "  -t num_threads, --threads=num_threads\n"
           "\tSet number of threads for inference engine, if supported\n"
           "  -o 0/1/2/3, --opt-level=0/1/2/3\n"
           "\tSet optimization level of ONNX model during inference. Irrelevant to others\n"
           "  -e engine, --engine=engine\n"
           "\tSelect inference engine plugin. engine = 'rt'/'ovx'/'tflite'/'armnn'/'onnx' \n"
           "  -C bytes, --cache=bytes\n"
           "\tKestrune Cache size in bytes (default: %zd)\n"
           "  -P bytes, --mempool=bytes\n"
           "\tMaximum size for the Kestrune mempool (default: %zd)\n"
           "  -M bytes, --max-model=bytes\n"
           "\tMaximum model size which can be uploaded (default: %zd)\n"
           "  -L index, --layer=index\n"
           "\tRun only layer <index>.  Useful for debug and benchmarking.\n"
           "\tThis feature is only supported by Kestrune RT module.\n"
           "  -X filename, --export=filename\n"
           "\tExport Kestrune benchmark results as a CSV file to <filename>. No ONNX support\n"
           "\tCSV is also supported by TFLite. ArmNN will export as txt file.\n"
           "  -u library:callback, --user-ops=library:callback\n"
           "\tEnable user defined operations through <callback> found in <library>\n"
           "\tThis feature is only supported by Kestrune RT\n"
           "  -c 0/1/2/3, --compute=0/1/2/3\n"
           "\tCompute backend to use. For Kestrune: 0(CPU)/1(kestrune-rt-opencl).\n"
           "\tONNX_i.MX: 0(CPU)/1(ACL)/2(ArmNN)/3(VsiNpu); TFLite_i.MX: 0(CPU)/1(NNAPI)\n"
           "\tArmNN_i.MX: 0(CpuAcc)/1(CpuRef)/3(VsiNpu)\n",
           cache, mempool, max_model);
}

/* atoi's reading (blanks, sign, digits, 0 for no number) into a 32-bit int:
 * the low 32 bits of the value read, taken as signed. */
static int32_t read_int(const char* text)
{
    long long v = strtoll(text, NULL, 10);
    return (int32_t)(uint32_t)(unsigned long long)v;
}

/* A size: the int read, widened with its sign. */
static size_t read_size(const char* text)
{
    return (size_t)(int64_t)read_int(text);
}

static const char* status_text(int status)
{
    static char unknown[32];
    const char* text = nn_strerror(status);
    if (text)
        return text;
    snprintf(unknown, sizeof unknown, "unknown error %d", status);
    return unknown;
}

int main(int argc, char** argv)
{
    int version = 0, verbose = 0, all_layers = 0, io_time = 0, loopback = 0;
    int iterations = 0, pause_ms = 0, layer = -1;
    const char* http_port = NULL;
    const char* unix_address = NULL;
    const char* model = NULL;
    const char* engine = NULL;
    const char* export_path = NULL;
    const char* user_ops = NULL;
    nn_plugin_options options = {4, 0, 3};
    size_t cache_size = 16777216, mempool_size = 50331648, max_model_size = 536870912;

    for (;;) {
        int c = cli_getopt_long(argc, argv, short_options, long_options, NULL);
        if (c == -1)
            break;
        switch (c) {
        case 'h':
            usage((ssize_t)cache_size, (ssize_t)mempool_size, (ssize_t)max_model_size);
            return 0;
        case 'v':
            version = 1;
            printf("Brindlecast v%s\n", BRINDLECAST_VERSION);
            break;
        case 'V': verbose = 1; break;
        case 'A': all_layers = 1; break;
        case 'I': io_time = 1; break;
        case 'l': loopback = 1; break;
        case 'b': iterations = read_int(cli_optarg); break;
        case 'p': pause_ms = read_int(cli_optarg); break;
        case 'H': http_port = cli_optarg; break;
        case 'U': unix_address = cli_optarg; break;
        case 'm': model = cli_optarg; break;
        case 't': options.threads = read_int(cli_optarg); break;
        case 'o': options.opt_level = read_int(cli_optarg); break;
        case 'e': engine = cli_optarg; break;
        case 'C': cache_size = read_size(cli_optarg); break;
        case 'P': mempool_size = read_size(cli_optarg); break;
        case 'M': max_model_size = read_size(cli_optarg); break;
        case 'L': layer = read_int(cli_optarg); break;
        case 'X': export_path = cli_optarg; break;
        case 'u': user_ops = cli_optarg; break;
        case 'c': options.compute = read_int(cli_optarg); break;
        default:
            fprintf(stderr, "invalid parameter %c, try --help for usage\n", c);
            return 1;
        }
    }

    const char* file = "libbrindlecast-rt.so";
    if (engine) {
        file = NULL;
        for (size_t i = 0; i < sizeof plugin_files / sizeof plugin_files[0]; ++i)
            if (strcasecmp(engine, plugin_files[i].engine) == 0)
                file = plugin_files[i].file;
        if (!file) {
            fprintf(stderr, "Plugin currently unsupported\n");
            return 1;
        }
    }

    plugin = nn_plugin_alloc(NULL);
    if (!plugin) {
        fprintf(stderr, "failed to load brindlecast plugin: %s\n", status_text(3));
        return 1;
    }
    int status = nn_plugin_load(plugin, file);
    if (status != 0) {
        fprintf(stderr, "failed to load brindlecast plugin: %s\n", status_text(status));
        return 1;
    }
    printf(engine ? "Plugin: %s; " : "Using default Plugin: %s; ", file);

    plugin->server = plugin->nn_server_init
                         ? plugin->nn_server_init(options.compute, mempool_size, NULL, cache_size,
                                                  NULL, max_model_size, NULL)
                         : NULL;
    if (!plugin->server) {
        fprintf(stderr, "failed to create brindlecast server\n");
        return 1;
    }

    if (version) {
        printf("%s %s\n", plugin->name ? plugin->name : "", plugin->version ? plugin->version : "");
        nn_plugin_unload(plugin);
        free(plugin);
        return 0;
    }

    printf("\n");
    if (plugin->nn_server_options)
        plugin->nn_server_options(plugin->server, &options);

    if (user_ops) {
        if (!plugin->nn_server_user_ops || plugin->nn_server_user_ops(plugin->server, user_ops) != 0) {
            fprintf(stderr, "User ops failing or unsupported\n");
            return 1;
        }
    }

    if (model) {
        errno = 0;
        status = plugin->nn_server_model_load ? plugin->nn_server_model_load(plugin->server, model, 1)
                                              : 5;
        if (status != 0) {
            fprintf(stderr, "failed to load model %s: %s\n", model,
                    status == 18 ? strerror(errno) : status_text(status));
            return 1;
        }
        if (iterations != 0) {
            if (plugin->nn_server_model_benchmark)
                plugin->nn_server_model_benchmark(plugin->server, iterations, pause_ms, layer,
                                                  (uint8_t)verbose, (uint8_t)io_time,
                                                  (uint8_t)all_layers, "output", export_path);
            nn_plugin_unload(plugin);
            free(plugin);
            return 0;
        }
    } else if (iterations != 0) {
        fprintf(stderr, "cannot run stand-alone benchmarks without a model\n");
        return 1;
    }

    if (!http_port && !unix_address) {
        fprintf(stderr, "no servers enabled, refer to --http and --unix arguments.\n");
        return 1;
    }

    int http_fd = http_port ? open_http_listener(http_port, loopback) : -1;
    int unix_fd = unix_address ? open_unix_socket(unix_address) : -1;
    install_signal_handlers();
    serve(plugin, http_fd, unix_fd); /* also 0 when the buffer was refused */
    nn_plugin_unload(plugin);
    free(plugin);
    return 0;
}
