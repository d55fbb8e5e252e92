/* The OpenVX plug-in: server record, model loading into an ovxlib graph,
 * unloading and the small accessors its other parts use. */
#include "ovx_server.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "resource.h"

const char* plugin_engine_name(void)
{
    return "KestruneRT OpenVX";
}

const char* plugin_engine_version(void)
{
    return vsi_nn_GetVersion();
}

const void* nn_server_model(nn_server* server)
{
    return server ? server->model : NULL;
}

/* Threads, compute engine and optimisation level mean nothing to ovxlib. */
int nn_server_options(nn_server* server, const nn_plugin_options* options)
{
    (void)server;
    (void)options;
    return 0;
}

/* No datagram interface: the datagram is taken off the socket and dropped
 * (left queued, it would keep the serving loop's select ready for ever). */
void nn_server_unix_handler(nn_server* server, int socket)
{
    plugin_default_unix_handler(server, socket);
}

nn_server* nn_server_init(int compute, size_t mempool_size, void* mempool, size_t cache_size, void* cache,
                          size_t max_model_size, void* model_buffer)
{
    /* ovxlib places the graph's memory itself. */
    (void)compute;
    (void)mempool_size;
    (void)mempool;
    (void)cache_size;
    (void)cache;
    auto server = platform::calloc_one<nn_server>();
    if (!server || nn_server_common_init(&server->common) != 0)
        return nullptr;
    server->max_model_size = max_model_size;
    plugin_bytes_init(&server->upload_buffer, max_model_size);
    if (model_buffer) {
        server->model = static_cast<uint8_t*>(model_buffer);
        server->model_size = max_model_size;
    }
    server->context = vsi_nn_CreateContext();
    if (!server->context) {
        nn_server_common_release(&server->common);
        return nullptr;
    }
    return server.release();
}

void nn_server_model_unload(nn_server* server)
{
    if (!server)
        return;
    if (server->graph) {
        ovx_kfm_free_node_arrays(server->graph);
        vsi_nn_ReleaseGraph(&server->graph);
        server->graph = nullptr;
    }
    free(server->tensor_ids);
    server->tensor_ids = nullptr;
    server->tensor_id_count = 0;
    server->common.loaded = 0;
    if (server->mapped) {
        platform::Mapping(server->model, static_cast<size_t>(server->model_size)).reset();
        server->mapped = 0;
        server->model = nullptr;
        server->model_size = 0;
    }
    /* An uploaded model's bytes stay in the upload buffer. */
}

void nn_server_release(nn_server* server)
{
    if (!server)
        return;
    nn_server_model_unload(server);
    nn_server_common_release(&server->common); /* json and the names */
    free(server->scratch);
    free(server->scratch2);
    vsi_nn_ReleaseContext(&server->context);
    plugin_bytes_free(&server->upload_buffer);
    server->model = nullptr;
    free(server);
}

namespace ovx {
namespace {

/* Maps the file read-only into the record; 18 with errno telling why. */
int map_model(nn_server* server, const char* path)
{
    platform::UniqueFd fd(open(path, O_RDONLY | O_CLOEXEC));
    if (!fd)
        return 18;
    struct stat st;
    if (fstat(fd.get(), &st) != 0) {
        int error = errno;
        fd.reset();
        errno = error;
        return 18;
    }
    const size_t size = st.st_size > 0 ? static_cast<size_t>(st.st_size) : 0;
    /* A length of 0 is refused by mmap itself (EINVAL). */
    platform::Mapping map(mmap(nullptr, size, PROT_READ, MAP_SHARED, fd.get(), 0), size);
    if (!map) {
        int error = errno;
        fd.reset();
        errno = error;
        return 18;
    }
    server->model = static_cast<uint8_t*>(map.release());
    server->model_size = size;
    server->mapped = 1;
    return 0;
}

/* Builds, sets up, verifies and warms up the graph of the record's model. */
int build_graph(nn_server* server)
{
    const size_t layers = nn_model_layer_count(server->model);
    server->common.loaded = 1;
    server->tensor_ids = static_cast<uint32_t*>(malloc((layers ? layers : 1) * sizeof(uint32_t)));
    if (!server->tensor_ids) {
        nn_server_model_unload(server);
        return 3;
    }
    server->tensor_id_count = layers;
    server->graph = model2graph(server->model, server->context, server->tensor_ids);
    if (!server->graph) {
        fprintf(stderr, "[ERROR]VSI Graph Build failure\n");
        nn_server_model_unload(server);
        return 1;
    }
    if (vsi_nn_SetupGraph(server->graph, 0) != 0 || vsi_nn_VerifyGraph(server->graph) == -1) {
        fprintf(stderr, "[ERROR]VX Graph Setup/Verify failure\n");
        nn_server_model_unload(server);
        return 1;
    }
    if (!ovx::run(server)) {
        fprintf(stderr, "[ERROR]VX Graph Run Failure\n");
        nn_server_model_unload(server);
        return 1;
    }
    return 0;
}

} // namespace
} // namespace ovx

int nn_server_model_load(nn_server* server, const char* path, int map)
{
    if (!server || (map && !path)) {
        errno = EINVAL;
        return 18;
    }
    nn_server_model_unload(server);
    if (map) {
        int status = ovx::map_model(server, path);
        if (status != 0)
            return status;
    }
    /* Without a mapping the bytes in the record (an upload the handler has
     * validated, or the caller's buffer) are used as they are; they are
     * checked again, since the graph builder trusts them. */
    int status = nn_model_validate(server->model, static_cast<size_t>(server->model_size));
    if (status != 0) {
        fprintf(stderr, "[ERROR] invalid model: %s\n", nn_model_validate_error(status));
        return 1; /* a mapping stays until the next unload */
    }
    return ovx::build_graph(server);
}

namespace ovx {

bool run(nn_server* server)
{
    return server->graph && vsi_nn_RunGraph(server->graph) != -1;
}

/* model2graph leaves the no-tensor id in the entries of skipped layers. */
ovxlib_tensor* layer_tensor(nn_server* server, size_t layer)
{
    if (!server->graph || !server->tensor_ids || layer >= server->tensor_id_count)
        return nullptr;
    const uint32_t id = server->tensor_ids[layer];
    return id == OVXLIB_NO_TENSOR ? nullptr : vsi_nn_GetTensor(server->graph, id);
}

/* The first id of one of the graph's lists. */
static ovxlib_tensor* first_of(const ovxlib_graph* graph, const ovxlib_tensor_id* ids, uint32_t count)
{
    return graph && ids && count > 0 && ids[0] != OVXLIB_NO_TENSOR ? vsi_nn_GetTensor(graph, ids[0]) : nullptr;
}

ovxlib_tensor* graph_input(nn_server* server)
{
    const ovxlib_graph* graph = server->graph;
    return graph ? first_of(graph, graph->input_ids, graph->input_count) : nullptr;
}

ovxlib_tensor* graph_output(nn_server* server)
{
    const ovxlib_graph* graph = server->graph;
    return graph ? first_of(graph, graph->output_ids, graph->output_count) : nullptr;
}

} // namespace ovx
