/* Camera frames in physical memory into FLOAT32 tensors through the G2D 2-D
 * engine, which converts the colour format, crops, scales and mirrors or flips
 * the frame into an RGBA buffer kept with the tensor. */
#include <stdio.h>
#include <string.h>

#include <array>

#include "core/scoped.h"
#include "g2d_abi.h"
#include "image/image_convert.h"
#include "kestrune/nn.h"
#include "platform.h"
#include "resource.h"

typedef struct g2d_library {
    void* handle;
    g2d_open_fn open;
    g2d_close_fn close;
    g2d_blit_fn blit;
    g2d_cache_op_fn cache_op;
    g2d_alloc_fn alloc;
    g2d_free_fn free;
    g2d_flush_fn flush;
    g2d_finish_fn finish;
} g2d_library;

/* Process-wide, set on first use without locks: the first frame must not be
 * loaded from two threads at once. */
static g2d_library g2d;
static void* g2d_device;
static bool g2d_device_open;
static bool mirror_flip_warned;

#define G2D_ERROR_MAX 128

namespace {

/* One function of the library into its typed slot; false with `error` set
 * when the library lacks it. */
template <typename Fn>
bool resolve(void* handle, const char* name, Fn& slot, char error[G2D_ERROR_MAX])
{
    void* fn = dl_sym(handle, name);
    if (!fn) {
        snprintf(error, G2D_ERROR_MAX, "%s: %s", name, dl_error());
        return false;
    }
    slot = reinterpret_cast<Fn>(fn);
    return true;
}

} // namespace

/* Loads libg2d.so and resolves its functions; on failure nothing is kept and
 * `error` holds "name: reason". */
static bool g2d_library_load(g2d_library* lib, char error[G2D_ERROR_MAX])
{
    platform::UniqueLibrary handle(dl_open("libg2d.so"));
    if (!handle) {
        snprintf(error, G2D_ERROR_MAX, "%s: %s", "libg2d.so", dl_error());
        return false;
    }
    void* h = handle.get();
    g2d_library loaded = {};
    if (!resolve(h, "g2d_open", loaded.open, error) ||
        !resolve(h, "g2d_close", loaded.close, error) ||
        !resolve(h, "g2d_blit", loaded.blit, error) ||
        !resolve(h, "g2d_cache_op", loaded.cache_op, error) ||
        !resolve(h, "g2d_alloc", loaded.alloc, error) ||
        !resolve(h, "g2d_free", loaded.free, error) ||
        !resolve(h, "g2d_flush", loaded.flush, error) ||
        !resolve(h, "g2d_finish", loaded.finish, error))
        return false;
    loaded.handle = handle.release();
    *lib = loaded;
    return true;
}

namespace {

/* A four-character code as V4L2 writes it: the first letter in the low byte. */
constexpr uint32_t fourcc(const char (&code)[5])
{
    return static_cast<uint32_t>(static_cast<uint8_t>(code[0])) |
           static_cast<uint32_t>(static_cast<uint8_t>(code[1])) << 8 |
           static_cast<uint32_t>(static_cast<uint8_t>(code[2])) << 16 |
           static_cast<uint32_t>(static_cast<uint8_t>(code[3])) << 24;
}
static_assert(fourcc("NV12") == 0x3231564Eu, "first letter in the low byte");

struct FrameFormat {
    uint32_t fourcc;
    int format;
};

constexpr std::array<FrameFormat, 10> frame_formats{{
    {fourcc("NV12"), G2D_FORMAT_NV12}, {fourcc("I420"), G2D_FORMAT_I420},
    {fourcc("YV12"), G2D_FORMAT_YV12}, {fourcc("NV21"), G2D_FORMAT_NV21},
    {fourcc("YUYV"), G2D_FORMAT_YUYV}, {fourcc("YVYU"), G2D_FORMAT_YVYU},
    {fourcc("UYVY"), G2D_FORMAT_UYVY}, {fourcc("VYUY"), G2D_FORMAT_VYUY},
    {fourcc("NV16"), G2D_FORMAT_NV16}, {fourcc("NV61"), G2D_FORMAT_NV61},
}};

} // namespace

static int g2d_format_of(uint32_t code)
{
    for (const FrameFormat& f : frame_formats)
        if (f.fourcc == code)
            return f.format;
    return -1;
}

/* The free function of the RGBA buffer held as a tensor's single aux object. */
static void release_g2d_buffer(nn_tensor* tensor)
{
    g2d_buf* buf = static_cast<g2d_buf*>(nn_tensor_aux_object(tensor));
    if (buf && g2d.free)
        g2d.free(buf);
}

static bool region_used(const int32_t* region)
{
    return region && region[2] > 0 && region[3] > 0;
}

/* Checks that keep G2D from reading or writing memory it should not. */
static int check_frame(nn_tensor* t, uint64_t phys_addr, int width, int height,
                       const int32_t* region)
{
    if (!t)
        return NN_ERROR_INVALID_PARAMETER;
    if (nn_tensor_type(t) != NN_TYPE_F32)
        return NN_ERROR_TENSOR_TYPE_UNSUPPORTED;
    const int32_t* shape = nn_tensor_shape(t);
    if (shape[0] != 1 || shape[1] < 1 || shape[2] < 1 || shape[3] != 3 ||
        (int64_t)shape[1] * shape[2] * 4 > INT32_MAX)
        return NN_ERROR_INVALID_SHAPE;
    if (width < 1 || height < 1 || phys_addr > UINT32_MAX)
        return NN_ERROR_INVALID_PARAMETER;
    if (region_used(region) &&
        !(region[0] >= 0 && region[0] < region[2] && region[2] <= width && region[1] >= 0 &&
          region[1] < region[3] && region[3] <= height))
        return NN_ERROR_INVALID_PARAMETER;
    return NN_SUCCESS;
}

/* The tensor's RGBA buffer of at least `bytes`, allocated on the first frame
 * and replaced when the tensor has grown; NULL after printing why. */
static g2d_buf* frame_buffer(nn_tensor* t, int bytes)
{
    g2d_buf* buf = static_cast<g2d_buf*>(nn_tensor_aux_object(t));
    if (buf && nn_tensor_aux_free(t) != release_g2d_buffer) {
        fprintf(stderr, "incompatible auxiliary object for g2d\n");
        return NULL;
    }
    if (buf && buf->buf_size >= bytes)
        return buf;
    g2d_buf* fresh = g2d.alloc(bytes, 1);
    if (!fresh) {
        fprintf(stderr, "g2d failed to allocate buffer\n");
        return NULL;
    }
    /* Frees the smaller buffer, if any, through release_g2d_buffer. */
    nn_tensor_set_aux_object(t, fresh, release_g2d_buffer);
    return fresh;
}

NN_API int nn_tensor_load_frame_ex(nn_tensor* t, void* unused, uint64_t phys_addr, uint32_t fourcc,
                                   int width, int height, const int32_t* region, uint32_t proc)
{
    (void)unused;
    int format = g2d_format_of(fourcc);
    if (format < 0) {
        fprintf(stderr, "unsupported frame format %c%c%c%c\n", (char)(fourcc & 0xff),
                (char)(fourcc >> 8 & 0xff), (char)(fourcc >> 16 & 0xff), (char)(fourcc >> 24));
        return NN_ERROR_INVALID_PARAMETER;
    }
    int status = check_frame(t, phys_addr, width, height, region);
    if (status != NN_SUCCESS)
        return status;

    if (!g2d.handle) {
        char error[G2D_ERROR_MAX];
        if (!g2d_library_load(&g2d, error)) {
            fprintf(stderr, "failed to load g2d library: %s\n", error);
            return NN_ERROR_NOT_IMPLEMENTED;
        }
    }
    if (!g2d_device_open) {
        if (g2d.open(&g2d_device) != 0) {
            fprintf(stderr, "failed to open g2d library\n");
            return NN_ERROR_INTERNAL;
        }
        g2d_device_open = true;
    }

    const int32_t* shape = nn_tensor_shape(t);
    int out_h = shape[1], out_w = shape[2];
    kestrune::WriteMap out_map(t);
    float* out = out_map.as<float>();
    if (!out)
        return NN_ERROR_TENSOR_NO_DATA;

    g2d_buf* buf = frame_buffer(t, out_h * out_w * 4);
    if (!buf)
        return NN_ERROR_INTERNAL;

    g2d_surface src = {}, dst = {};
    src.format = format;
    src.planes[0] = (int32_t)(uint32_t)phys_addr;
    src.right = width;
    src.bottom = height;
    if (region_used(region)) {
        src.left = region[0];
        src.top = region[1];
        src.right = region[2];
        src.bottom = region[3];
    }
    src.stride = width;
    src.width = width;
    src.height = height;

    dst.format = G2D_FORMAT_RGBX8888;
    dst.planes[0] = buf->buf_paddr;
    dst.right = out_w;
    dst.bottom = out_h;
    dst.stride = out_w;
    dst.width = out_w;
    dst.height = out_h;
    if ((proc & NN_IMAGE_PROC_MIRROR) && (proc & NN_IMAGE_PROC_FLIP)) {
        if (!mirror_flip_warned) {
            fprintf(stderr, "[WARNING] G2D hardware does not support mirror and flip, ignoring flip.\n");
            mirror_flip_warned = true;
        }
        dst.rot = G2D_ROTATION_MIRROR;
    } else if (proc & NN_IMAGE_PROC_FLIP) {
        dst.rot = G2D_ROTATION_FLIP;
    } else if (proc & NN_IMAGE_PROC_MIRROR) {
        dst.rot = G2D_ROTATION_MIRROR;
    }

    if (g2d.blit(g2d_device, &src, &dst) != 0) {
        fprintf(stderr, "failed to blit video frame into tensor\n");
        return NN_ERROR_INTERNAL;
    }
    if (g2d.finish(g2d_device) != 0) {
        fprintf(stderr, "failed to finish video frame conversion\n");
        return NN_ERROR_INTERNAL;
    }
    g2d.cache_op(buf, G2D_CACHE_INVALIDATE);

    size_t pixels = (size_t)out_h * (size_t)out_w;
    if (!nn_image_rgba_to_float(out, static_cast<const uint8_t*>(buf->buf_vaddr), pixels))
        return NN_ERROR_OUT_OF_MEMORY;
    nn_image_apply_proc(out, pixels * 3, proc);
    return NN_SUCCESS;
}

NN_API int nn_tensor_load_frame(nn_tensor* t, void* unused, uint64_t phys_addr, uint32_t fourcc,
                                int width, int height, const int32_t* region)
{
    return nn_tensor_load_frame_ex(t, unused, phys_addr, fourcc, width, height, region, 0);
}
