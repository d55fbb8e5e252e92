// The aligned growable byte buffer and the block-wise upload over it: the
// ceiling, the aligned start, the bytes kept across growth, and a refused
// growth that changes nothing (allocations fail on demand: the program wraps
// malloc and its kin).
#include "plugin_bytes.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "failing_alloc.h"
#include "multipart_body.h"
#include "shared_test.h"

namespace {

using multipart_body::multipart;
using multipart_body::Part;

struct Bytes {
    plugin_bytes b;
    explicit Bytes(uint64_t max) { plugin_bytes_init(&b, max); }
    ~Bytes() { plugin_bytes_free(&b); }
};

bool aligned(const void* p)
{
    return reinterpret_cast<uintptr_t>(p) % PLUGIN_BYTES_ALIGN == 0;
}

TEST(PluginBytes, GrowsKeepingTheBytesAtAnAlignedStart)
{
    Bytes bytes(1 << 20);
    plugin_bytes& b = bytes.b;
    EXPECT_EQ(b.data, nullptr);
    EXPECT_EQ(b.capacity, 0u);
    uint8_t* d = plugin_bytes_reserve(&b, 10);
    ASSERT_NE(d, nullptr);
    EXPECT_TRUE(aligned(d));
    EXPECT_EQ(b.capacity, 10u);
    memcpy(d, "0123456789", 10);
    b.size = 10;
    // Within the capacity nothing moves.
    EXPECT_EQ(plugin_bytes_reserve(&b, 4), d);
    EXPECT_EQ(b.capacity, 10u);
    // Growth in many steps (realloc moves the block, the aligned start moves
    // with it): the bytes held stay.
    for (uint64_t n = 11; n < 70000; n = n * 3 + 1) {
        d = plugin_bytes_reserve(&b, n);
        ASSERT_NE(d, nullptr) << n;
        EXPECT_TRUE(aligned(d)) << n;
        EXPECT_EQ(b.capacity, n);
        ASSERT_EQ(std::string(reinterpret_cast<char*>(d), 10), "0123456789") << n;
        d[n - 1] = 0xAB;  // the whole capacity is usable (ASan checks)
    }
}

TEST(PluginBytes, CeilingAndFailedGrowthChangeNothing)
{
    Bytes bytes(100);
    plugin_bytes& b = bytes.b;
    ASSERT_NE(plugin_bytes_reserve(&b, 100), nullptr);
    uint8_t* d = b.data;
    memset(d, 7, 100);
    b.size = 100;
    EXPECT_EQ(plugin_bytes_reserve(&b, 101), nullptr);
    EXPECT_EQ(plugin_bytes_reserve(&b, UINT64_MAX), nullptr);
    EXPECT_EQ(b.data, d);
    EXPECT_EQ(b.capacity, 100u);

    Bytes big(1 << 20);
    ASSERT_NE(plugin_bytes_reserve(&big.b, 16), nullptr);
    memcpy(big.b.data, "sixteen bytes!!!", 16);
    big.b.size = 16;
    void* block = big.b.block;
    failing_alloc::arm(0);
    EXPECT_EQ(plugin_bytes_reserve(&big.b, 4096), nullptr);
    failing_alloc::disarm();
    EXPECT_EQ(big.b.block, block);
    EXPECT_EQ(big.b.capacity, 16u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(big.b.data), 16), "sixteen bytes!!!");
}

TEST(PluginBytes, EmptyReservationHoldsABlock)
{
    Bytes bytes(0);
    ASSERT_NE(plugin_bytes_reserve(&bytes.b, 0), nullptr);
    EXPECT_NE(bytes.b.block, nullptr);
    EXPECT_EQ(plugin_bytes_reserve(&bytes.b, 1), nullptr);  // the ceiling is 0
    plugin_bytes_free(&bytes.b);
    EXPECT_EQ(bytes.b.block, nullptr);
    EXPECT_EQ(bytes.b.size, 0u);
    EXPECT_EQ(bytes.b.max_size, 0u);
}

// ---- the upload over it ---------------------------------------------------------

struct Engine {
    plugin_bytes* bytes = nullptr;
    int releases = 0;
    int loads = 0;
    std::string loaded;
};

void release(void* user)
{
    static_cast<Engine*>(user)->releases++;
}

int load(int, void* user, bool* replied)
{
    Engine* e = static_cast<Engine*>(user);
    e->loads++;
    e->loaded.assign(reinterpret_cast<const char*>(e->bytes->data), static_cast<size_t>(e->bytes->size));
    *replied = false;
    return 0;
}

shared_test::Reply put(plugin_bytes* bytes, plugin_upload* upload, Engine* e, const std::string& body_text,
                       uint64_t block_size = 4)
{
    testsock::Pair p;
    std::string body = body_text;
    const plugin_bytes_upload target = {e, block_size, 1 << 20, release, load};
    plugin_upload_put_bytes(p.server(), body.data(), body.size(), upload, bytes, &target);
    return shared_test::read_reply(p.client());
}

TEST(PluginBytesUpload, WholeAndInBlocks)
{
    Bytes bytes(12);
    plugin_upload upload{};
    Engine e;
    e.bytes = &bytes.b;
    shared_test::Reply r = put(&bytes.b, &upload, &e, multipart({Part("block_content", "whole model")}));
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "{\"reply\": \"success\"}");
    EXPECT_EQ(e.loaded, "whole model");
    EXPECT_TRUE(aligned(bytes.b.data));

    r = put(&bytes.b, &upload, &e, multipart({Part("block_count", "3"), Part("block_content", "abcd")}));
    EXPECT_EQ(r.body, "{\"block\": 1, \"block_count\": 3}");
    r = put(&bytes.b, &upload, &e, multipart({Part("block_content", "efgh")}));
    EXPECT_EQ(r.body, "{\"block\": 2, \"block_count\": 3}");
    r = put(&bytes.b, &upload, &e, multipart({Part("block_content", "ij")}));
    EXPECT_EQ(r.body, "{\"reply\": \"success\"}");
    EXPECT_EQ(e.loaded, "abcdefghij");
    EXPECT_EQ(e.loads, 2);
    EXPECT_GE(e.releases, 4);

    // Past the buffer's ceiling: 507, at the announcement or at the block.
    r = put(&bytes.b, &upload, &e, multipart({Part("block_count", "4")}));
    EXPECT_EQ(r.status, 400);
    EXPECT_EQ(r.body, "Requested model is larger than allowed");
    r = put(&bytes.b, &upload, &e, multipart({Part("block_count", "3"), Part("block_content", "abcd")}));
    r = put(&bytes.b, &upload, &e, multipart({Part("block_content", "efgh")}));
    r = put(&bytes.b, &upload, &e, multipart({Part("block_content", "ijklm")}));
    EXPECT_EQ(r.status, 507);
    EXPECT_EQ(r.body, "{\"error\": \"model too large\"}");
    EXPECT_LE(bytes.b.size, bytes.b.max_size);
    EXPECT_EQ(e.loads, 2);
}

TEST(PluginBytesUpload, GrowthFailureIs507)
{
    Bytes bytes(1 << 20);
    plugin_upload upload{};
    Engine e;
    e.bytes = &bytes.b;
    testsock::Pair p;
    std::string body = multipart({Part("block_content", "model bytes")});
    const plugin_bytes_upload target = {&e, 4, 1 << 20, nullptr, load};
    failing_alloc::arm(0);
    failing_alloc::fail_above = 0;  // every allocation
    plugin_upload_put_bytes(p.server(), body.data(), body.size(), &upload, &bytes.b, &target);
    failing_alloc::disarm();
    shared_test::Reply r = shared_test::read_reply(p.client());
    EXPECT_EQ(r.status, 507);
    EXPECT_EQ(e.loads, 0);
}

}  // namespace
