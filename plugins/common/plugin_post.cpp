#include "plugin_post.h"

#include <string.h>

#include <string_view>

#include "platform.h"
#include "plugin_http.h"

namespace plugin {

namespace {

bool starts_with(std::string_view text, std::string_view prefix) noexcept
{
    return text.substr(0, prefix.size()) == prefix;
}

/* One kind of body by the start of its Content-Type. */
struct BodyKind {
    std::string_view prefix;
    bool (*BodyHooks::*hook)(int, void*, const char*, size_t, int*);
};

constexpr BodyKind body_kinds[] = {
    {"image/", &BodyHooks::image},
    {PLUGIN_TENSOR_MIME, &BodyHooks::tensor},
    {PLUGIN_LABELS_PREFIX, &BodyHooks::labels},
};

} // namespace

bool load_body(int socket, const http_header* headers, size_t header_count, const char* body, size_t body_len,
               const BodyHooks& hooks, int* result) noexcept
{
    for (size_t i = 0; i < header_count; ++i) {
        if (header_name(headers[i]) != "Content-Type")
            continue;
        const std::string_view value = header_value(headers[i]);
        for (const BodyKind& kind : body_kinds) {
            if (!starts_with(value, kind.prefix))
                continue;
            auto hook = hooks.*kind.hook;
            if (hook && !hook(socket, hooks.user, body, body_len, result))
                return false;
            break;
        }
    }
    if (!body || body_len == 0 || !hooks.part)
        return true;
    const char* pos = body;
    uint64_t left = body_len;
    while (left > 0) {
        multipart_part part;
        part.content_type[0] = '\0'; /* an untyped part has no type */
        uint64_t step = multipart_next_part(pos, left, part.name, part.filename, sizeof part.filename,
                                            part.content_type, sizeof part.content_type, &part.data, &part.length);
        if (step == 0)
            break;
        pos += step;
        left -= step;
        if (!hooks.part(socket, hooks.user, part, result))
            return false;
    }
    return true;
}

int check_float32_part(const multipart_part& part, const Float32Input& input, const char** text) noexcept
{
    if (input.name) {
        const size_t n = strlen(input.name);
        const bool match = input.name_prefix ? strncmp(part.name, input.name, n) == 0
                                             : strcmp(part.name, input.name) == 0;
        if (!match) {
            *text = "Input Tensor Not Found";
            return 404;
        }
    }
    if (part.length != input.size) {
        *text = "Input Tensor Size Mismatch";
        return 400;
    }
    int32_t shape[4];
    const int parsed = plugin_parse_shape(part.filename, shape);
    if (parsed < 0) {
        *text = "Input Tensor Rank Too High";
        return 400;
    }
    bool fits = true;
    switch (input.check) {
    case ShapeCheck::none:
        break;
    case ShapeCheck::hwc:
        fits = parsed > 0 && shape[1] == input.shape[1] && shape[2] == input.shape[2] && shape[3] == input.shape[3];
        break;
    case ShapeCheck::all:
        fits = parsed > 0 && memcmp(shape, input.shape, sizeof shape) == 0;
        break;
    }
    if (!fits) {
        *text = "POSTed Tensor Has Incorrect Shape";
        return 400;
    }
    return 0;
}

bool load_float32_part(int socket, const multipart_part& part, const Float32Input& input, void* to,
                       int* result) noexcept
{
    const char* text = nullptr;
    const int status = check_float32_part(part, input, &text);
    if (status) {
        *result = plugin_reply_text(socket, status, text);
        return false;
    }
    if (!to) {
        *result = plugin_reply_text(socket, 500, "Failed Map Input Tensor");
        return false;
    }
    if (part.length)
        memcpy(to, part.data, static_cast<size_t>(part.length));
    return true;
}

int run_timed(const RunHooks& hooks, int count, int64_t* run_time, int* runs) noexcept
{
    *run_time = 0;
    *runs = 0;
    if (count < 1)
        return 0;
    for (int i = 0; count > 1 && i < hooks.warmups; ++i) {
        const int status = hooks.run(hooks.user);
        if (status != 0)
            return status;
    }
    int made = 0;
    for (; made < count && (made == 0 || !hooks.stop_between_runs || !http_stop_requested()); ++made) {
        const int64_t start = clock_now_ns();
        const int status = hooks.run(hooks.user);
        *run_time += clock_now_ns() - start;
        if (status != 0) {
            *runs = made;
            return status;
        }
        if (hooks.after_run)
            hooks.after_run(hooks.user);
    }
    *runs = made;
    *run_time /= made;
    return 0;
}

int reply_by_accept(int socket, const http_header* headers, size_t header_count, const ReplyHooks& hooks) noexcept
{
    const http_header* accept = find_header(headers, header_count, "Accept");
    const std::string_view value = accept ? header_value(*accept) : std::string_view();
    if (value == PLUGIN_TENSOR_MIME && hooks.tensor) {
        if (hooks.output_count == 0)
            return http_respond(socket, 204, PLUGIN_TENSOR_MIME, 0, NULL, 0, (const char*)NULL);
        if (hooks.output_count > 1)
            return plugin_reply_text(socket, 400,
                                     "Only a single tensor can be returned using application/vnd.kestrune.tensor");
        return hooks.tensor(socket, hooks.user);
    }
    if (value == PLUGIN_TEXT_MIME)
        return hooks.text(socket, hooks.user);
    return hooks.json(socket, hooks.user);
}

} // namespace plugin
