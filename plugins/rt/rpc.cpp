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

#include <type_traits>

#include "platform.h"
#include "scoped.h"
#include "rt_server.h"
#include "user_ops.h"

namespace rtplugin {
namespace {

enum class Command : uint16_t {
    load_memory = 1,
    unload_memory = 2,
    load_model = 3,
    unload_model = 4,
    set_input = 5,
    set_output = 6,
    run = 7,
};

/* Request flag bits. */
namespace flag {
constexpr uint16_t load_input = 0x0001;
constexpr uint16_t decode_input = 0x0002;
constexpr uint16_t mirror = 0x0004;
constexpr uint16_t flip = 0x0008;
constexpr uint16_t reply_index = 0x0010;
constexpr uint16_t reply_label = 0x0020;
constexpr uint16_t reply_score = 0x0040;
constexpr uint16_t reply_tensor = 0x0080;
constexpr uint16_t clear_input = 0x0100;
constexpr uint16_t normalize = 0x1000;
constexpr uint16_t whitening = 0x2000;
constexpr uint16_t signed_normalize = 0x4000;
} // namespace flag

/* Reply flag bits: label and score swap places against the request's. */
namespace replied {
constexpr uint32_t error = 3;
constexpr uint32_t index = 0x0010;
constexpr uint32_t score = 0x0020;
constexpr uint32_t label = 0x0040;
constexpr uint32_t tensor = 0x0080;
} // namespace replied

constexpr size_t error_max = 255;

struct RequestHeader {
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
};

struct ReplyHeader {
    uint64_t run_time;
    uint32_t flags;
    uint32_t dims;
    int32_t shape[4];
};

/* The wire sizes: the fields in order, little-endian, without padding. */
constexpr size_t request_size = 8 * sizeof(uint16_t) + 2 * sizeof(uint32_t);
constexpr size_t reply_size = sizeof(uint64_t) + 2 * sizeof(uint32_t) + 4 * sizeof(int32_t);
static_assert(request_size == 24 && reply_size == 32, "the datagram headers' wire sizes");

/* Little-endian fields taken in order from a fixed record; a read past its
 * end gives 0 and reads nothing. */
class LeReader {
public:
    LeReader(const uint8_t* bytes, size_t size) noexcept : p_(bytes), left_(size) {}

    template <typename T>
    T take() noexcept
    {
        static_assert(std::is_unsigned<T>::value, "unsigned fields only");
        if (left_ < sizeof(T))
            return 0;
        T v = 0;
        for (size_t i = 0; i < sizeof(T); ++i)
            v = static_cast<T>(v | static_cast<T>(static_cast<T>(p_[i]) << (8 * i)));
        p_ += sizeof(T);
        left_ -= sizeof(T);
        return v;
    }

private:
    const uint8_t* p_;
    size_t left_;
};

/* Little-endian fields put in order into a fixed record, never past its end. */
class LeWriter {
public:
    LeWriter(uint8_t* bytes, size_t size) noexcept : p_(bytes), left_(size) {}

    template <typename T>
    void put(T value) noexcept
    {
        static_assert(std::is_integral<T>::value, "integer fields only");
        auto v = static_cast<std::make_unsigned_t<T>>(value);
        if (left_ < sizeof(T))
            return;
        for (size_t i = 0; i < sizeof(T); ++i)
            p_[i] = static_cast<uint8_t>(v >> (8 * i));
        p_ += sizeof(T);
        left_ -= sizeof(T);
    }

private:
    uint8_t* p_;
    size_t left_;
};

RequestHeader decode_request(const uint8_t (&bytes)[request_size]) noexcept
{
    LeReader in(bytes, sizeof bytes);
    RequestHeader h;
    h.command = in.take<uint16_t>();
    h.flags = in.take<uint16_t>();
    h.frame_width = in.take<uint16_t>();
    h.frame_height = in.take<uint16_t>();
    h.crop_width = in.take<uint16_t>();
    h.crop_height = in.take<uint16_t>();
    h.crop_x = in.take<uint16_t>();
    h.crop_y = in.take<uint16_t>();
    h.fourcc = in.take<uint32_t>();
    h.address = in.take<uint32_t>();
    return h;
}

void encode_reply(const ReplyHeader& h, uint8_t (&bytes)[reply_size]) noexcept
{
    LeWriter out(bytes, sizeof bytes);
    out.put(h.run_time);
    out.put(h.flags);
    out.put(h.dims);
    for (int32_t extent : h.shape)
        out.put(extent);
}

} // namespace
} // namespace rtplugin

using namespace rtplugin;

static ssize_t send_parts(int socket, const struct sockaddr* peer, socklen_t peer_length, struct iovec* parts,
                          size_t count)
{
    struct msghdr msg;
    memset(&msg, 0, sizeof msg);
    msg.msg_name = const_cast<sockaddr*>(peer);
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
    if (length > error_max)
        length = error_max;
    fprintf(stderr, "%.*s\n", (int)length, text);

    ReplyHeader header{};
    header.flags = replied::error;
    uint8_t bytes[reply_size];
    encode_reply(header, bytes);
    struct iovec parts[2] = {{bytes, sizeof bytes}, {const_cast<char*>(text), length}};
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
    char text[error_max + 1];
    va_list args;
    va_start(args, format);
    int length = vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (length < 0) {
        text[0] = '\0';
        length = 0;
    }
    /* vsnprintf counts what did not fit too. */
    size_t sent = static_cast<size_t>(length) < error_max ? static_cast<size_t>(length) : error_max;
    unix_send_error(call->socket, call->peer, call->peer_length, text, sent);
}

static uint32_t image_flags(uint16_t flags)
{
    uint32_t proc = 0;
    static constexpr struct {
        uint16_t bit;
        uint32_t proc;
    } table[] = {
        {flag::normalize, NN_IMAGE_PROC_NORMALIZE}, {flag::whitening, NN_IMAGE_PROC_WHITENING},
        {flag::signed_normalize, NN_IMAGE_PROC_SIGNED_NORMALIZE}, {flag::flip, NN_IMAGE_PROC_FLIP},
        {flag::mirror, NN_IMAGE_PROC_MIRROR},
    };
    for (const auto& entry : table)
        if (flags & entry.bit)
            proc |= entry.proc;
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
static void serve_request(nn_server* server, const rpc_call* call, const RequestHeader* request,
                          uint8_t* payload, size_t payload_length)
{
    /* The payload as text: the buffer holds one byte beyond the payload. */
    const char* text = "";
    if (payload) {
        payload[payload_length] = '\0';
        text = (const char*)payload;
    }
    const char* not_implemented = rt_status_text(NN_ERROR_NOT_IMPLEMENTED);

    const auto command = static_cast<Command>(request->command);
    switch (command) {
    case Command::load_memory:
    case Command::load_model:
        reply_error(call, "failed to load %s %s: %s", command == Command::load_memory ? "memory" : "model", text,
                    not_implemented);
        return;
    case Command::unload_memory:
    case Command::unload_model:
        reply_error(call, "failed to unload %s: %s", command == Command::unload_memory ? "memory" : "model",
                    not_implemented);
        return;
    case Command::set_input:
    case Command::set_output: {
        const bool input = command == Command::set_input;
        if (!(input ? nn_server_set_input_name(server, text) : nn_server_set_output_name(server, text))) {
            reply_error(call, "failed to set %s name %s: %s", input ? "input" : "output", text,
                        rt_status_text(NN_ERROR_OUT_OF_MEMORY));
            return;
        }
        break;
    }
    default:
        break;
    }

    nn_context* context = server->context;
    const char* input_name = nn_server_input_name(server);
    const char* output_name = nn_server_output_name(server);
    const uint16_t flags = request->flags;

    if (flags & flag::clear_input) {
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

    if (flags & flag::load_input) {
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
        kestrune::WriteMap to;
        if (rt_tensor_accepts_input(server, tensor))
            to.map(tensor);
        if (!to) {
            reply_error(call, "RPC_LOAD_INPUT failed to map tensor %s", input_name);
            return;
        }
        memcpy(to.data(), payload, payload_length);
        to.reset();
        server->input_time = nn_tensor_io_time(tensor);
    }

    if (flags & flag::decode_input) {
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

    ReplyHeader reply{};

    if (command == Command::run) {
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

    if (flags & (flag::reply_index | flag::reply_label | flag::reply_score)) {
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
        if (flags & flag::reply_index) {
            int n = snprintf(index_text, sizeof index_text, "%d", index);
            parts[part_count++] = iovec{index_text, static_cast<size_t>(n) + 1};
            reply.flags |= replied::index;
        }
        if (flags & flag::reply_score) {
            int n = snprintf(score_text, sizeof score_text, "%f", (double)score);
            size_t length = n < 0 ? 0 : (size_t)n < sizeof score_text ? (size_t)n : sizeof score_text - 1;
            parts[part_count++] = iovec{score_text, length + 1};
            reply.flags |= replied::score;
        }
        if (flags & flag::reply_label) {
            const char* label = nn_model_label(nn_context_model(context), index);
            if (!label)
                label = "";
            parts[part_count++] = iovec{const_cast<char*>(label), strlen(label) + 1};
            reply.flags |= replied::label;
        }
    }

    /* The output stays mapped until its bytes are sent. */
    kestrune::ReadMap mapped;
    nn_tensor* mapped_tensor = nullptr;
    if (flags & flag::reply_tensor) {
        nn_tensor* output = nn_context_tensor(context, output_name);
        if (!output) {
            reply_error(call, "model missing output tensor: %s", output_name);
            return;
        }
        const void* data = mapped.map(output);
        if (!data) {
            reply_error(call, "failed to map output tensor: %s", output_name);
            return;
        }
        mapped_tensor = output;
        int dims = nn_tensor_dims(output);
        const int32_t* shape = nn_tensor_shape(output);
        reply.dims = dims > 0 ? (uint32_t)dims : 0;
        for (int i = 0; i < 4 && shape; ++i)
            reply.shape[i] = shape[i];
        parts[part_count++] = iovec{const_cast<void*>(data), nn_tensor_size(output)};
        reply.flags |= replied::tensor;
    }

    uint8_t header[reply_size];
    encode_reply(reply, header);
    parts[0] = iovec{header, sizeof header};
    if (send_parts(call->socket, call->peer, call->peer_length, parts, part_count) < 0) {
        int error = errno;
        if (error == EMSGSIZE) {
            /* Too big for one datagram: the client still gets an answer. */
            reply_error(call, "unix_handler failed to send response: %s", strerror(error));
        } else {
            fprintf(stderr, "unix_handler failed to send response: %s\n", strerror(error));
        }
    }
    if (mapped_tensor) {
        mapped.reset();
        server->output_time = nn_tensor_io_time(mapped_tensor);
    }
}

void nn_server_unix_handler(nn_server* server, int socket)
{
    if (!server || socket < 0)
        return;
    struct sockaddr_un peer;
    socklen_t peer_length = sizeof peer;
    uint8_t header[request_size];
    memset(&peer, 0, sizeof peer);

    int pending = 0;
    if (ioctl(socket, FIONREAD, &pending) != 0) {
        /* The socket is the program's: report, never close it. */
        fprintf(stderr, "failed to query unix socket availability: %s\n", strerror(errno));
        return;
    }
    ssize_t payload_length = static_cast<ssize_t>(pending) - static_cast<ssize_t>(request_size);
    bool short_read = pending < static_cast<int>(request_size);
    if (!short_read && payload_length > 0 && (uint64_t)payload_length > server->rpc_capacity) {
        /* One byte more than the payload, for the terminator of its text. */
        uint8_t* grown = static_cast<uint8_t*>(realloc(server->rpc_buffer, (size_t)payload_length + 1));
        if (grown) {
            server->rpc_buffer = grown;
            server->rpc_capacity = (uint64_t)payload_length;
        } else {
            short_read = true;
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
    if (got < static_cast<ssize_t>(request_size)) {
        /* Only if another reader changed the queue since the size query. */
        reply_error(&call, "insufficient memory to receive unix rpc message (%zd bytes)\n",
                    got - static_cast<ssize_t>(request_size));
        return;
    }
    /* Only what was received counts, whatever the size query said. */
    size_t received = static_cast<size_t>(got) - request_size;
    if (received > (size_t)(payload_length > 0 ? payload_length : 0))
        received = (size_t)(payload_length > 0 ? payload_length : 0);

    const RequestHeader request = decode_request(header);
    serve_request(server, &call, &request, received > 0 ? server->rpc_buffer : NULL, received);
    /* Answered: a payload buffer grown for an outsized datagram goes back. */
    rt_release_outsized(server);
}
