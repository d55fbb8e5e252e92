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
#include "platform.h"

namespace brindlecast {
namespace {

constexpr char short_options[] = "hvlVAIb:p:H:U:m:t:o:e:C:P:M:L:X:u:c:";

constexpr cli_option long_options[] = {
    {"help", CLI_OPTIONAL_VALUE, nullptr, 'h'},
    {"version", CLI_OPTIONAL_VALUE, nullptr, 'v'},
    {"verbose", CLI_OPTIONAL_VALUE, nullptr, 'V'},
    {"all-layers", CLI_OPTIONAL_VALUE, nullptr, 'A'},
    {"io-time", CLI_OPTIONAL_VALUE, nullptr, 'I'},
    {"benchmark", CLI_REQUIRED_ARGUMENT, nullptr, 'b'},
    {"pause", CLI_REQUIRED_ARGUMENT, nullptr, 'p'},
    {"http", CLI_REQUIRED_ARGUMENT, nullptr, 'H'},
    {"loopback", CLI_OPTIONAL_VALUE, nullptr, 'l'},
    {"unix", CLI_REQUIRED_ARGUMENT, nullptr, 'U'},
    {"model", CLI_REQUIRED_ARGUMENT, nullptr, 'm'},
    {"threads", CLI_REQUIRED_ARGUMENT, nullptr, 't'},
    {"opt-level", CLI_REQUIRED_ARGUMENT, nullptr, 'o'},
    {"engine", CLI_REQUIRED_ARGUMENT, nullptr, 'e'},
    {"cache", CLI_REQUIRED_ARGUMENT, nullptr, 'C'},
    {"mempool", CLI_REQUIRED_ARGUMENT, nullptr, 'P'},
    {"max-model", CLI_REQUIRED_ARGUMENT, nullptr, 'M'},
    {"layer", CLI_REQUIRED_ARGUMENT, nullptr, 'L'},
    {"export", CLI_REQUIRED_ARGUMENT, nullptr, 'X'},
    {"user-ops", CLI_REQUIRED_ARGUMENT, nullptr, 'u'},
    {"compute", CLI_REQUIRED_ARGUMENT, nullptr, 'c'},
    {nullptr, 0, nullptr, 0},
};

/* Every long option has its short form, with the same need of an argument. */
constexpr bool long_options_match_short()
{
    for (const cli_option* o = long_options; o->name; ++o) {
        const char* c = short_options;
        while (*c && *c != o->val)
            ++c;
        if (!*c || (c[1] == ':') != (o->has_arg == CLI_REQUIRED_ARGUMENT))
            return false;
    }
    return true;
}
static_assert(long_options_match_short(), "long and short options disagree");

struct PluginFile {
    const char* engine;
    const char* file;
};

constexpr PluginFile plugin_files[] = {
    {"rt", "libbrindlecast-rt.so"},     {"onnx", "libbrindlecast-onnx.so"},
    {"tflite", "libbrindlecast-tflite.so"}, {"ovx", "libbrindlecast-ovx.so"},
    {"armnn", "libbrindlecast-armnn.so"},
};

/* The record stays reachable until exit, also on the exits that do not
 * unload the plug-in. */
nn_plugin* plugin;

void usage(ssize_t cache, ssize_t mempool, ssize_t max_model)
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
int32_t read_int(const char* text)
{
    long long v = strtoll(text, nullptr, 10);
    return static_cast<int32_t>(static_cast<uint32_t>(static_cast<unsigned long long>(v)));
}

/* A size: the int read, widened with its sign. */
size_t read_size(const char* text)
{
    return static_cast<size_t>(static_cast<int64_t>(read_int(text)));
}

const char* status_text(int status)
{
    static char unknown[32];
    const char* text = nn_strerror(status);
    if (text)
        return text;
    snprintf(unknown, sizeof unknown, "unknown error %d", status);
    return unknown;
}

/* The engine's plug-in file: the default one without -e, NULL for an
 * unknown engine. */
const char* plugin_file(const char* engine)
{
    if (!engine)
        return "libbrindlecast-rt.so";
    const char* file = nullptr;
    for (const PluginFile& p : plugin_files)
        if (strcasecmp(engine, p.engine) == 0)
            file = p.file;
    return file;
}

int run(int argc, char** argv)
{
    int version = 0, verbose = 0, all_layers = 0, io_time = 0, loopback = 0;
    int iterations = 0, pause_ms = 0, layer = -1;
    const char* http_port = nullptr;
    const char* unix_address = nullptr;
    const char* model = nullptr;
    const char* engine = nullptr;
    const char* export_path = nullptr;
    const char* user_ops = nullptr;
    nn_plugin_options options = {4, 0, 3};
    size_t cache_size = 16777216, mempool_size = 50331648, max_model_size = 536870912;

    for (;;) {
        int c = cli_getopt_long(argc, argv, short_options, long_options, nullptr);
        if (c == -1)
            break;
        switch (c) {
        case 'h':
            usage((ssize_t)cache_size, (ssize_t)mempool_size, (ssize_t)max_model_size);
            return 0;
        case 'v':
            version = 1;
            printf("Brindlecast v%s\n", program_version);
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

    const char* file = plugin_file(engine);
    if (!file) {
        fprintf(stderr, "Plugin currently unsupported\n");
        return 1;
    }

    plugin = nn_plugin_alloc(nullptr);
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
                         ? plugin->nn_server_init(options.compute, mempool_size, nullptr, cache_size,
                                                  nullptr, max_model_size, nullptr)
                         : nullptr;
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

} // namespace
} // namespace brindlecast

int main(int argc, char** argv)
{
    /* before any plug-in brings in libgomp */
    omp_wait_default();
    return brindlecast::run(argc, argv);
}
