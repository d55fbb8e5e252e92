/* The datagram RPC over the program's UNIX socket: one request datagram in
 * (24-byte little-endian header, then the payload), one reply datagram back
 * to its sender (32-byte header, then the parts it announces). */
#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <sys/un.h>

#include "platform.h"
#include "rt_server.h"
#include "user_ops.h"

#define RPC_REQUEST_SIZE 24
#define RPC_REPLY_SIZE 32
#define RPC_ERROR_MAX 255

enum {
    RPC_LOAD_MEMORY = 1,
    RPC_UNLOAD_MEMORY = 2,
    RPC_LOAD_MODEL = 3,
    RPC_UNLOAD_MODEL = 4,
    RPC_SET_INPUT = 5,
    RPC_SET_OUTPUT = 6,
    RPC_RUN = 7
};

enum {
    RPC_LOAD_INPUT = 0x0001,
    RPC_DECODE_INPUT = 0x0002,
    RPC_MIRROR = 0x0004,
    RPC_FLIP = 0x0008,
    RPC_REPLY_INDEX = 0x0010,
    RPC_REPLY_LABEL = 0x0020,
    RPC_REPLY_SCORE = 0x0040,
    RPC_REPLY_TENSOR = 0x0080,
    RPC_CLEAR_INPUT = 0x0100,
    RPC_NORMALIZE = 0x1000,
    RPC_WHITENING = 0x2000,
    RPC_SIGNED_NORMALIZE = 0x4000
};

/* Reply bits: label and score swap places against the request's. */
enum {
    RPC_REPLY_ERROR = 3,
    RPC_REPLIED_INDEX = 0x0010,
    RPC_REPLIED_SCORE = 0x0020,
    RPC_REPLIED_LABEL = 0x0040,
    RPC_REPLIED_TENSOR = 0x0080
};

typedef struct rpc_request_header {
    uint16_t command;
    uint16_t flags;
    uint16_t frame_width;
    uint16_t frame_height;
    uint16_t crop_width;
    uint16_t crop_height;
    uint16_t crop_x;
    uint16_t crop_y;
    uint32_t fourcc;
    uint32_t address;
} rpc_request_header;

typedef struct rpc_reply_header {
    uint64_t run_time;
    uint32_t flags;
    uint32_t dims;
    int32_t shape[4];
} rpc_reply_header;

static uint16_t get_u16(const uint8_t* p)
{
    return (uint16_t)(p[0] | (p[1] << 8));
}

static uint32_t get_u32(const uint8_t* p)
{
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}

static void put_u32(uint8_t* p, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = (uint8_t)(v >> (8 * i));
}

static void put_u64(uint8_t* p, uint64_t v)
{
    for (int i = 0; i < 8; ++i)
        p[i] = (uint8_t)(v >> (8 * i));
}

static void decode_request(const uint8_t bytes[RPC_REQUEST_SIZE], rpc_request_header* h)
{
    h->command = get_u16(bytes + 0);
    h->flags = get_u16(bytes + 2);
    h->frame_width = get_u16(bytes + 4);
    h->frame_height = get_u16(bytes + 6);
    h->crop_width = get_u16(bytes + 8);
    h->crop_height = get_u16(bytes + 10);
    h->crop_x = get_u16(bytes + 12);
    h->crop_y = get_u16(bytes + 14);
    h->fourcc = get_u32(bytes + 16);
    h->address = get_u32(bytes + 20);
}

static void encode_reply(const rpc_reply_header* h, uint8_t bytes[RPC_REPLY_SIZE])
{
    put_u64(bytes + 0, h->run_time);
    put_u32(bytes + 8, h->flags);
    put_u32(bytes + 12, h->dims);
    for (int i = 0; i < 4; ++i)
        put_u32(bytes + 16 + 4 * i, (uint32_t)h->shape[i]);
}

static ssize_t send_parts(int socket, const struct sockaddr* peer, socklen_t peer_length, struct iovec* parts,
                          size_t count)
{
    struct msghdr msg;
    memset(&msg, 0, sizeof msg);
    msg.msg_name = (void*)peer;
    msg.msg_namelen = peer_length;
    msg.msg_iov = parts;
    msg.msg_iovlen = count;
    /* Never block the serving loop on a client whose queue is full. */
    return sendmsg(socket, &msg, MSG_DONTWAIT | MSG_NOSIGNAL);
}

void unix_send_error(int socket, const struct sockaddr* peer, socklen_t peer_length, const char* text,
                     size_t length)
{
    if (!text)
        text = "";
    if (length == 0)
        length = strlen(text);
    if (length > RPC_ERROR_MAX)
        length = RPC_ERROR_MAX;
    fprintf(stderr, "%.*s\n", (int)length, text);

    rpc_reply_header header;
    memset(&header, 0, sizeof header);
    header.flags = RPC_REPLY_ERROR;
    uint8_t bytes[RPC_REPLY_SIZE];
    encode_reply(&header, bytes);
    struct iovec parts[2] = {{bytes, sizeof bytes}, {(void*)text, length}};
    if (send_parts(socket, peer, peer_length, parts, length ? 2 : 1) < 0)
        fprintf(stderr, "failed to send unix socket error: %s\n", strerror(errno));
}

/* One request being served: where the reply goes. */
typedef struct rpc_call {
    int socket;
    const struct sockaddr* peer;
    socklen_t peer_length;
} rpc_call;

/* Client text is only ever an argument here, never the format. */
static void reply_error(const rpc_call* call, const char* format, ...) __attribute__((format(printf, 2, 3)));

static void reply_error(const rpc_call* call, const char* format, ...)
{
    char text[RPC_ERROR_MAX + 1];
    va_list args;
    va_start(args, format);
    int length = vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (length < 0) {
        text[0] = '\0';
        length = 0;
    }
    /* vsnprintf counts what did not fit too. */
    size_t sent = (size_t)length < RPC_ERROR_MAX ? (size_t)length : RPC_ERROR_MAX;
    unix_send_error(call->socket, call->peer, call->peer_length, text, sent);
}

static uint32_t image_flags(uint16_t flags)
{
    uint32_t proc = 0;
    if (flags & RPC_NORMALIZE)
        proc |= NN_IMAGE_PROC_NORMALIZE;
    if (flags & RPC_WHITENING)
        proc |= NN_IMAGE_PROC_WHITENING;
    if (flags & RPC_SIGNED_NORMALIZE)
        proc |= NN_IMAGE_PROC_SIGNED_NORMALIZE;
    if (flags & RPC_FLIP)
        proc |= NN_IMAGE_PROC_FLIP;
    if (flags & RPC_MIRROR)
        proc |= NN_IMAGE_PROC_MIRROR;
    return proc;
}

/* The time of the output: that of the named tensor or, for a reshape layer
 * (a view of its input), that of the layer it reshapes. */
static int64_t output_io_time(nn_server* server, const char* name, nn_tensor* output)
{
    const void* model = nn_context_model(server->context);
    uint32_t layer = nn_model_layer_lookup(model, name);
    if (model && layer < nn_model_layer_count(model)) {
        const char* type = nn_model_layer_type(model, layer);
        if (type && strcmp(type, "reshape") == 0) {
            const uint32_t* inputs = NULL;
            if (nn_model_layer_inputs(model, layer, &inputs) > 0 && inputs) {
                nn_tensor* source = nn_context_tensor_index(server->context, inputs[0]);
                if (source)
                    return nn_tensor_io_time(source);
            }
        }
    }
    return nn_tensor_io_time(output);
}

/* Applies one decoded request; every path sends exactly one reply. */
static void serve_request(nn_server* server, const rpc_call* call, const rpc_request_header* request,
                          uint8_t* payload, size_t payload_length)
{
    /* The payload as text: the buffer holds one byte beyond the payload. */
    const char* text = "";
    if (payload) {
        payload[payload_length] = '\0';
        text = (const char*)payload;
    }
    const char* not_implemented = rt_status_text(NN_ERROR_NOT_IMPLEMENTED);

    switch (request->command) {
    case RPC_LOAD_MEMORY:
        reply_error(call, "failed to load memory %s: %s", text, not_implemented);
        return;
    case RPC_UNLOAD_MEMORY:
        reply_error(call, "failed to unload memory: %s", not_implemented);
        return;
    case RPC_LOAD_MODEL:
        reply_error(call, "failed to load model %s: %s", text, not_implemented);
        return;
    case RPC_UNLOAD_MODEL:
        reply_error(call, "failed to unload model: %s", not_implemented);
        return;
    case RPC_SET_INPUT:
        if (!nn_server_set_input_name(server, text)) {
            reply_error(call, "failed to set input name %s: %s", text, rt_status_text(NN_ERROR_OUT_OF_MEMORY));
            return;
        }
        break;
    case RPC_SET_OUTPUT:
        if (!nn_server_set_output_name(server, text)) {
            reply_error(call, "failed to set output name %s: %s", text, rt_status_text(NN_ERROR_OUT_OF_MEMORY));
            return;
        }
        break;
    default:
        break;
    }

    nn_context* context = server->context;
    const char* input_name = nn_server_input_name(server);
    const char* output_name = nn_server_output_name(server);
    const uint16_t flags = request->flags;

    if (flags & RPC_CLEAR_INPUT) {
        nn_tensor* tensor = nn_context_tensor(context, input_name);
        if (!tensor) {
            reply_error(call, "cannot clear unknown tensor: %s", input_name);
            return;
        }
        int status = rt_tensor_accepts_input(server, tensor) ? nn_tensor_fill(tensor, 0.0)
                                                             : NN_ERROR_TENSOR_NO_DATA;
        if (status != 0) {
            reply_error(call, "failed to clear tensor %s: %s", input_name, rt_status_text(status));
            return;
        }
    }

    if (flags & RPC_LOAD_INPUT) {
        nn_tensor* tensor = nn_context_tensor(context, input_name);
        if (!tensor) {
            reply_error(call, "RPC_LOAD_INPUT no tensor with name: %s", input_name);
            return;
        }
        if (payload_length == 0) {
            if (request->address == 0)
                reply_error(call, "RPC_LOAD_INPUT requested but no input provided");
            else
                reply_error(call, "RPC_LOAD_INPUT DMA not supported, see RPC_DECODE_FRAME");
            return;
        }
        size_t size = nn_tensor_size(tensor);
        if (payload_length != size) {
            reply_error(call, "RPC_LOAD_INPUT payload size %zd != %d needed by %s", (ssize_t)payload_length,
                        (int)size, input_name);
            return;
        }
        void* data = rt_tensor_accepts_input(server, tensor) ? nn_tensor_mapwo(tensor) : NULL;
        if (!data) {
            reply_error(call, "RPC_LOAD_INPUT failed to map tensor %s", input_name);
            return;
        }
        memcpy(data, payload, payload_length);
        nn_tensor_unmap(tensor);
        server->input_time = nn_tensor_io_time(tensor);
    }

    if (flags & RPC_DECODE_INPUT) {
        uint32_t proc = image_flags(flags);
        nn_tensor* tensor = nn_context_tensor(context, input_name);
        if (!tensor) {
            reply_error(call, "RPC_DECODE_INPUT no tensor with name: %s", input_name);
            return;
        }
        if (payload_length > 0) {
            int status = NN_ERROR_TENSOR_NO_DATA;
            int64_t start = clock_now_ns();
            if (rt_tensor_accepts_input(server, tensor))
                status = nn_tensor_load_image_ex(tensor, payload, payload_length, proc);
            server->decode_time = clock_now_ns() - start;
            if (status != 0) {
                reply_error(call, "RPC_DECODE_INPUT load image failed: %s", rt_status_text(status));
                return;
            }
        } else {
            if (request->address == 0) {
                reply_error(call, "RPC_DECODE_INPUT requested but no input provided");
                return;
            }
            int32_t region[4] = {request->crop_x, request->crop_y, request->crop_x + request->crop_width,
                                 request->crop_y + request->crop_height};
            int status = NN_ERROR_TENSOR_NO_DATA;
            int64_t start = clock_now_ns();
            if (rt_tensor_accepts_input(server, tensor))
                status = nn_tensor_load_frame_ex(tensor, NULL, request->address, request->fourcc,
                                                 request->frame_width, request->frame_height, region, proc);
            server->decode_time = clock_now_ns() - start;
            if (status != 0) {
                reply_error(call, "RPC_DECODE_INPUT load frame failed: %s", rt_status_text(status));
                return;
            }
        }
        server->input_time = nn_tensor_io_time(tensor);
    }

    rpc_reply_header reply;
    memset(&reply, 0, sizeof reply);

    if (request->command == RPC_RUN) {
        int64_t start = clock_now_ns();
        int status = nn_context_run(context);
        int64_t elapsed = clock_now_ns() - start;
        reply.run_time = (uint64_t)elapsed;
        server->run_time = elapsed;
        if (status != 0) {
            reply_error(call, "failed to run model: %s", rt_status_text(status));
            return;
        }
    }

    /* Parts in their fixed order: header, index, score, label, tensor. */
    struct iovec parts[5];
    size_t part_count = 1;
    char index_text[16];
    char score_text[16];

    if (flags & (RPC_REPLY_INDEX | RPC_REPLY_LABEL | RPC_REPLY_SCORE)) {
        nn_tensor* output = nn_context_tensor(context, output_name);
        if (!output) {
            reply_error(call, "model missing output tensor: %s", output_name);
            return;
        }
        int index = 0;
        float score = 0.0f;
        int status = nn_argmax(output, &index, &score, sizeof score);
        if (status != 0) {
            reply_error(call, "failed to capture argmax from output: %s", rt_status_text(status));
            return;
        }
        server->output_time = output_io_time(server, output_name, output);
        if (flags & RPC_REPLY_INDEX) {
            int n = snprintf(index_text, sizeof index_text, "%d", index);
            parts[part_count++] = (struct iovec){index_text, (size_t)n + 1};
            reply.flags |= RPC_REPLIED_INDEX;
        }
        if (flags & RPC_REPLY_SCORE) {
            int n = snprintf(score_text, sizeof score_text, "%f", (double)score);
            size_t length = n < 0 ? 0 : (size_t)n < sizeof score_text ? (size_t)n : sizeof score_text - 1;
            parts[part_count++] = (struct iovec){score_text, length + 1};
            reply.flags |= RPC_REPLIED_SCORE;
        }
        if (flags & RPC_REPLY_LABEL) {
            const char* label = nn_model_label(nn_context_model(context), index);
            if (!label)
                label = "";
            parts[part_count++] = (struct iovec){(void*)label, strlen(label) + 1};
            reply.flags |= RPC_REPLIED_LABEL;
        }
    }

    nn_tensor* mapped = NULL;
    if (flags & RPC_REPLY_TENSOR) {
        nn_tensor* output = nn_context_tensor(context, output_name);
        if (!output) {
            reply_error(call, "model missing output tensor: %s", output_name);
            return;
        }
        const void* data = nn_tensor_mapro(output);
        if (!data) {
            reply_error(call, "failed to map output tensor: %s", output_name);
            return;
        }
        mapped = output;
        int dims = nn_tensor_dims(output);
        const int32_t* shape = nn_tensor_shape(output);
        reply.dims = dims > 0 ? (uint32_t)dims : 0;
        for (int i = 0; i < 4 && shape; ++i)
            reply.shape[i] = shape[i];
        parts[part_count++] = (struct iovec){(void*)data, nn_tensor_size(output)};
        reply.flags |= RPC_REPLIED_TENSOR;
    }

    uint8_t header[RPC_REPLY_SIZE];
    encode_reply(&reply, header);
    parts[0] = (struct iovec){header, sizeof header};
    if (send_parts(call->socket, call->peer, call->peer_length, parts, part_count) < 0) {
        int error = errno;
        if (error == EMSGSIZE) {
            /* Too big for one datagram: the client still gets an answer. */
            reply_error(call, "unix_handler failed to send response: %s", strerror(error));
        } else {
            fprintf(stderr, "unix_handler failed to send response: %s\n", strerror(error));
        }
    }
    if (mapped) {
        nn_tensor_unmap(mapped);
        server->output_time = nn_tensor_io_time(mapped);
    }
}

void nn_server_unix_handler(nn_server* server, int socket)
{
    if (!server || socket < 0)
        return;
    struct sockaddr_un peer;
    socklen_t peer_length = sizeof peer;
    uint8_t header[RPC_REQUEST_SIZE];
    memset(&peer, 0, sizeof peer);

    int pending = 0;
    if (ioctl(socket, FIONREAD, &pending) != 0) {
        /* The socket is the program's: report, never close it. */
        fprintf(stderr, "failed to query unix socket availability: %s\n", strerror(errno));
        return;
    }
    ssize_t payload_length = (ssize_t)pending - RPC_REQUEST_SIZE;
    int short_read = pending < RPC_REQUEST_SIZE;
    if (!short_read && payload_length > 0 && (uint64_t)payload_length > server->rpc_capacity) {
        /* One byte more than the payload, for the terminator of its text. */
        uint8_t* grown = static_cast<uint8_t*>(realloc(server->rpc_buffer, (size_t)payload_length + 1));
        if (grown) {
            server->rpc_buffer = grown;
            server->rpc_capacity = (uint64_t)payload_length;
        } else {
            short_read = 1;
        }
    }
    rpc_call call = {socket, (const struct sockaddr*)&peer, 0};
    if (short_read) {
        /* Read the header only, to learn the sender; the rest is dropped.
         * Also takes a zero-length datagram off the queue (or finds none). */
        ssize_t got =
            recvfrom(socket, header, sizeof header, MSG_DONTWAIT, (struct sockaddr*)&peer, &peer_length);
        if (got < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                fprintf(stderr, "failed to read unix socket header: %s\n", strerror(errno));
            return;
        }
        call.peer_length = peer_length;
        reply_error(&call, "insufficient memory to receive unix rpc message (%zd bytes)\n", payload_length);
        return;
    }

    struct iovec parts[2] = {{header, sizeof header}, {server->rpc_buffer, (size_t)payload_length}};
    struct msghdr msg;
    memset(&msg, 0, sizeof msg);
    msg.msg_name = &peer;
    msg.msg_namelen = sizeof peer;
    msg.msg_iov = parts;
    msg.msg_iovlen = payload_length > 0 ? 2 : 1;
    ssize_t got = recvmsg(socket, &msg, MSG_DONTWAIT);
    if (got < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            fprintf(stderr, "unix_handler failed to recv [%d]: %s\n", errno, strerror(errno));
        return;
    }
    call.peer_length = msg.msg_namelen;
    if (got < RPC_REQUEST_SIZE) {
        /* Only if another reader changed the queue since the size query. */
        reply_error(&call, "insufficient memory to receive unix rpc message (%zd bytes)\n",
                    got - RPC_REQUEST_SIZE);
        return;
    }
    /* Only what was received counts, whatever the size query said. */
    size_t received = (size_t)(got - RPC_REQUEST_SIZE);
    if (received > (size_t)(payload_length > 0 ? payload_length : 0))
        received = (size_t)(payload_length > 0 ? payload_length : 0);

    rpc_request_header request;
    decode_request(header, &request);
    serve_request(server, &call, &request, received > 0 ? server->rpc_buffer : NULL, received);
}
