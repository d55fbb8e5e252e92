// Execution context: variants, caller memory, accessors and failed set-ups.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "context/context_internal.h"
#include "kestrune/nn.h"
#include "kfm_test_util.h"
#include "recording_engine.h"

namespace {

using kestrune::test::RecordingEngine;
using kestrune::test::Slot;
using kfm_test::capture;

int op_a(nn_context*, const char*, size_t) { return 0; }
int op_b(nn_context*, const char*, size_t) { return 5; }

TEST(Context, CpuContextWithoutPoolOrCache)
{
    nn_context* ctx = nn_context_init(nullptr, 0, nullptr, 0, nullptr);
    ASSERT_NE(ctx, nullptr);
    EXPECT_EQ(nn_context_engine(ctx), nullptr);
    EXPECT_EQ(nn_context_model(ctx), nullptr);
    EXPECT_EQ(nn_context_mempool(ctx), nullptr);
    EXPECT_EQ(nn_context_cache(ctx), nullptr);
    EXPECT_EQ(nn_context_tensor(ctx, "anything"), nullptr);
    EXPECT_EQ(nn_context_tensor_index(ctx, 0), nullptr);
    EXPECT_EQ(nn_context_user_ops(ctx), nullptr);

    EXPECT_EQ(nn_context_user_ops_register(ctx, op_a), 0);
    EXPECT_EQ(nn_context_user_ops(ctx), &op_a);
    EXPECT_EQ(nn_context_user_ops_register(ctx, nullptr), 6);
    EXPECT_EQ(nn_context_user_ops(ctx), &op_a);
    EXPECT_EQ(nn_context_user_ops_register(ctx, op_b), 0);
    EXPECT_EQ(nn_context_user_ops(ctx), &op_b);
    EXPECT_EQ(nn_context_user_ops_register(nullptr, op_a), 6);
    nn_context_release(ctx);
}

TEST(Context, NullContextAccessors)
{
    EXPECT_EQ(nn_context_engine(nullptr), nullptr);
    EXPECT_EQ(nn_context_model(nullptr), nullptr);
    EXPECT_EQ(nn_context_mempool(nullptr), nullptr);
    EXPECT_EQ(nn_context_cache(nullptr), nullptr);
    EXPECT_EQ(nn_context_tensor(nullptr, "x"), nullptr);
    EXPECT_EQ(nn_context_tensor_index(nullptr, 0), nullptr);
    EXPECT_EQ(nn_context_user_ops(nullptr), nullptr);
    nn_context_release(nullptr);
    EXPECT_GE(nn_context_sizeof(), 2 * nn_tensor_sizeof());
}

TEST(Context, PoolAndCacheVariants)
{
    struct Case {
        size_t pool;
        bool pool_caller;
        size_t cache;
        bool cache_caller;
    } cases[] = {
        {4096, false, 0, false}, {4096, true, 0, false}, {0, false, 512, false},
        {0, false, 512, true},   {100, true, 28, true},  {0, true, 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.pool << c.pool_caller << " " << c.cache << c.cache_caller);
        std::vector<uint8_t> pool_mem(4096, 0xA5), cache_mem(4096, 0x5A);
        nn_context* ctx = nn_context_init(nullptr, c.pool, c.pool_caller ? pool_mem.data() : nullptr,
                                          c.cache, c.cache_caller ? cache_mem.data() : nullptr);
        ASSERT_NE(ctx, nullptr);
        struct Part {
            nn_tensor* t;
            size_t size;
            bool caller;
            std::vector<uint8_t>* mem;
            uint8_t fill;
        } parts[] = {{nn_context_mempool(ctx), c.pool, c.pool_caller, &pool_mem, 0xA5},
                     {nn_context_cache(ctx), c.cache, c.cache_caller, &cache_mem, 0x5A}};
        for (const Part& p : parts) {
            if (p.size == 0) {
                EXPECT_EQ(p.t, nullptr);
                continue;
            }
            ASSERT_NE(p.t, nullptr);
            EXPECT_EQ(nn_tensor_type(p.t), NN_TYPE_U8);
            EXPECT_EQ(nn_tensor_dims(p.t), 1);
            EXPECT_EQ(nn_tensor_size(p.t), p.size);
            const uint8_t* d = static_cast<const uint8_t*>(kfm_test::data_of(p.t));
            if (p.caller) {
                EXPECT_EQ(d, p.mem->data());
            } else {
                ASSERT_NE(d, nullptr);
                EXPECT_NE(d, p.mem->data());
                EXPECT_EQ(d[0], 0);
            }
        }
        nn_context_release(ctx);
        // Caller memory is neither freed nor changed.
        EXPECT_EQ(pool_mem[0], 0xA5);
        EXPECT_EQ(cache_mem[4095], 0x5A);
    }
}

TEST(Context, CallerRecordIsNotFreed)
{
    std::vector<uint8_t> record(nn_context_sizeof() + 64, 0xEE);
    std::vector<uint8_t> pool(256);
    nn_context* ctx = nn_context_init_ex(record.data(), nullptr, pool.size(), pool.data(), 64, nullptr);
    ASSERT_EQ(ctx, reinterpret_cast<nn_context*>(record.data()));
    EXPECT_EQ(ctx->owned, 0);
    EXPECT_EQ(nn_context_mempool(ctx), &ctx->mempool_record);
    EXPECT_EQ(nn_context_cache(ctx), &ctx->cache_record);
    nn_context_release(ctx);  // a free() of the vector's bytes would fail under ASan
    EXPECT_EQ(record[nn_context_sizeof()], 0xEE);  // nothing past the record was touched

    nn_context* own = nn_context_init(nullptr, 0, nullptr, 0, nullptr);
    ASSERT_NE(own, nullptr);
    EXPECT_EQ(own->owned, 1);
    nn_context_release(own);
}

// Every failed set-up returns NULL with its message and leaves nothing
// allocated (the leak check of the sanitizer build sees the rest).
TEST(Context, FailedSetUps)
{
    static uint8_t memory[64];
    struct Case {
        const char* what;
        size_t pool;
        void* pool_mem;
        size_t cache;
        void* cache_mem;
        const char* err;
    } cases[] = {
        {"pool over 2 GiB", 0x80000000u, nullptr, 0, nullptr,
         "failed to allocate memory for mempool: invalid shape\r\n"},
        {"pool of 4 GiB + 16 on caller memory", (size_t)0x100000010ull, memory, 0, nullptr,
         "failed to assign memory for mempool: invalid shape\r\n"},
        {"cache of 4 GiB after a good pool", 1024, nullptr, (size_t)0x100000000ull, nullptr,
         "failed to allocate memory for cache: invalid shape\r\n"},
        {"cache of 4 GiB on caller memory", 64, memory, (size_t)0x100000000ull, memory,
         "failed to assign memory for cache: invalid shape\r\n"},
    };
    for (const Case& c : cases) {
        nn_context* ctx = reinterpret_cast<nn_context*>(1);
        auto s = capture([&] { ctx = nn_context_init(nullptr, c.pool, c.pool_mem, c.cache, c.cache_mem); });
        EXPECT_EQ(ctx, nullptr) << c.what;
        EXPECT_EQ(s.err, c.err) << c.what;
        EXPECT_EQ(s.out, "") << c.what;
    }
    // In caller memory the record stays the caller's.
    std::vector<uint8_t> record(nn_context_sizeof());
    auto s = capture([&] {
        EXPECT_EQ(nn_context_init_ex(record.data(), nullptr, 16, nullptr, 0x80000000u, nullptr), nullptr);
    });
    EXPECT_EQ(s.err, "failed to allocate memory for cache: invalid shape\r\n");
}

TEST(Context, EngineFailures)
{
    {
        RecordingEngine eng({Slot::kTensorInit, Slot::kTensorRelease, Slot::kAlloc, Slot::kAssign});
        eng.SetTensorInitResult(nullptr);
        nn_context* ctx = nullptr;
        auto s = capture([&] { ctx = nn_context_init(eng.engine(), 64, nullptr, 0, nullptr); });
        EXPECT_EQ(ctx, nullptr);
        EXPECT_EQ(s.err, "failed to allocate memory for mempool: out of memory\r\n");
    }
    {
        RecordingEngine eng({Slot::kTensorInit, Slot::kTensorRelease, Slot::kAlloc, Slot::kAssign});
        eng.SetResult(Slot::kAssign, NN_ERROR_INVALID_ENGINE);
        std::vector<uint8_t> cache(32);
        nn_context* ctx = nullptr;
        auto s = capture([&] { ctx = nn_context_init(eng.engine(), 64, nullptr, 32, cache.data()); });
        EXPECT_EQ(ctx, nullptr);
        EXPECT_EQ(s.err, "failed to assign memory for cache: invalid engine\r\n");
        // The pool made before the failure was handed back to the engine.
        EXPECT_EQ(eng.Count(Slot::kTensorRelease), 2u);
    }
    {
        RecordingEngine eng({Slot::kTensorInit, Slot::kTensorRelease, Slot::kAlloc});
        nn_context* ctx = nn_context_init(eng.engine(), 64, nullptr, 16, nullptr);
        ASSERT_NE(ctx, nullptr);
        EXPECT_EQ(nn_context_engine(ctx), eng.engine());
        EXPECT_EQ(nn_tensor_engine(nn_context_mempool(ctx)), eng.engine());
        EXPECT_EQ(eng.Count(Slot::kAlloc), 2u);
        nn_context_release(ctx);
        EXPECT_EQ(eng.Count(Slot::kTensorRelease), 2u);
    }
}

}  // namespace
