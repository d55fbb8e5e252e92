#include "multipart.h"
#include "case_name.h"
#include "test_bytes.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace {

#define BIN(literal) std::string(literal, sizeof(literal) - 1)

struct Part {
    std::string name, filename, content_type, data;
    uint64_t advance = 0;
};

// Guards around every output buffer: a write past capacity changes them.
struct Guarded {
    static constexpr unsigned char kCanary = 0xA5;
    struct Field {
        char buffer[MULTIPART_NAME_SIZE];
        unsigned char canary[16];
    };
    Field name, filename, content_type;
    Guarded()
    {
        for (Field* f : {&name, &filename, &content_type}) {
            std::memset(f->buffer, 'Z', sizeof f->buffer);
            f->buffer[sizeof f->buffer - 1] = '\0';
            std::memset(f->canary, kCanary, sizeof f->canary);
        }
    }
    bool intact() const
    {
        for (const Field* f : {&name, &filename, &content_type})
            for (unsigned char c : f->canary)
                if (c != kCanary)
                    return false;
        return true;
    }
};

// One call over an exact-size copy of `body`. Returns false when no part.
bool parse_one(const std::string& body, Part* out, size_t filename_cap = 64, size_t type_cap = 64)
{
    ExactBytes in(body);
    Guarded g;
    g.content_type.buffer[0] = '\0';
    const char* data = nullptr;
    uint64_t length = 0;
    uint64_t r = multipart_next_part(in.data(), in.size, g.name.buffer, g.filename.buffer, filename_cap,
                                     g.content_type.buffer, type_cap, &data, &length);
    EXPECT_TRUE(g.intact());
    if (r == 0)
        return false;
    EXPECT_LE(r, in.size);
    EXPECT_GE(data, in.data());
    EXPECT_LE(length, in.size - static_cast<uint64_t>(data - in.data()));
    out->name = g.name.buffer;
    out->filename = g.filename.buffer;
    out->content_type = g.content_type.buffer;
    out->data.assign(data, length);
    out->advance = r;
    return true;
}

// The caller loop: parse, advance by the result, stop at 0 or the end.
std::vector<Part> parse_all(const char* text, uint64_t length)
{
    std::vector<Part> parts;
    uint64_t at = 0;
    while (at < length) {
        Guarded g;
        g.content_type.buffer[0] = '\0';
        const char* data = nullptr;
        uint64_t n = 0;
        uint64_t r = multipart_next_part(text + at, length - at, g.name.buffer, g.filename.buffer, 64,
                                         g.content_type.buffer, 64, &data, &n);
        EXPECT_TRUE(g.intact());
        EXPECT_LT(std::strlen(g.name.buffer), size_t{MULTIPART_NAME_SIZE});
        if (r == 0)
            break;
        EXPECT_LE(r, length - at);
        EXPECT_GE(data, text + at);
        EXPECT_LE(static_cast<uint64_t>(data - text) + n, length);
        parts.push_back({g.name.buffer, g.filename.buffer, g.content_type.buffer, std::string(data, n), r});
        at += r;
    }
    return parts;
}

std::vector<Part> parse_all(const std::string& body)
{
    ExactBytes in(body);
    return parse_all(in.data(), in.size);
}

const std::string kTwoParts =
    "--X\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\nhello\r\n"
    "--X\r\nContent-Disposition: form-data; name=\"b\"\r\n\r\nworld\r\n"
    "--X--\r\n";

// The framing curl 7.88 sends for -F block_count=3 -F block_content=@f.bin
// with f.bin holding "AB\r\n--CD".
const std::string kCurlBody =
    "--------------------------461cb9142479ad6b\r\n"
    "Content-Disposition: form-data; name=\"block_count\"\r\n\r\n3\r\n"
    "--------------------------461cb9142479ad6b\r\n"
    "Content-Disposition: form-data; name=\"block_content\"; filename=\"f.bin\"\r\n"
    "Content-Type: application/octet-stream\r\n\r\nAB\r\n--CD\r\n"
    "--------------------------461cb9142479ad6b--\r\n";

TEST(MultipartSequence, TwoPartsThenClosingDelimiter)
{
    ExactBytes in(kTwoParts);
    const size_t second = kTwoParts.find("--X\r\nContent-Disposition: form-data; name=\"b\"");
    const size_t closing = kTwoParts.find("--X--");
    std::vector<Part> parts = parse_all(in.data(), in.size);
    ASSERT_EQ(parts.size(), 2u);
    EXPECT_EQ(parts[0].advance, second);
    EXPECT_EQ(parts[0].name, "a");
    EXPECT_EQ(parts[0].data, "hello");
    EXPECT_EQ(parts[1].advance, closing - second);
    EXPECT_EQ(parts[1].name, "b");
    EXPECT_EQ(parts[1].data, "world");
    Part p;
    EXPECT_FALSE(parse_one(kTwoParts.substr(closing), &p));
}

TEST(MultipartSequence, CurlFraming)
{
    std::vector<Part> parts = parse_all(kCurlBody);
    ASSERT_EQ(parts.size(), 2u);
    EXPECT_EQ(parts[0].name, "block_count");
    EXPECT_EQ(parts[0].data, "3");
    EXPECT_EQ(parts[0].filename, "");
    EXPECT_EQ(parts[1].name, "block_content");
    EXPECT_EQ(parts[1].filename, "f.bin");
    EXPECT_EQ(parts[1].content_type, "application/octet-stream");
    EXPECT_EQ(parts[1].data, "AB\r\n--CD");
}

struct HeadCase {
    const char* label;
    std::string body;
    std::string name, filename, content_type, data;
};

std::string part(const std::string& head_lines, const std::string& data)
{
    return "--X\r\n" + head_lines + "\r\n" + data + "\r\n--X--\r\n";
}

class MultipartHead : public ::testing::TestWithParam<HeadCase> {};

void PrintTo(const HeadCase& c, std::ostream* os) { *os << c.label; }

TEST_P(MultipartHead, Fields)
{
    const HeadCase& c = GetParam();
    Part p;
    ASSERT_TRUE(parse_one(c.body, &p)) << c.label;
    EXPECT_EQ(p.name, c.name) << c.label;
    EXPECT_EQ(p.filename, c.filename) << c.label;
    EXPECT_EQ(p.content_type, c.content_type) << c.label;
    EXPECT_EQ(p.data, c.data) << c.label;
}

const std::string k63(63, 'n');
const std::string k64 = std::string(63, 'm') + "M";

INSTANTIATE_TEST_SUITE_P(
    Cases, MultipartHead,
    ::testing::Values(
        HeadCase{"block_count", part("Content-Disposition: form-data; name=\"block_count\"\r\n", "2"),
                 "block_count", "", "", "2"},
        HeadCase{"octet-stream",
                 part("Content-Disposition: form-data; name=\"m\"\r\nContent-Type: application/octet-stream\r\n",
                      "xyz"),
                 "m", "", "application/octet-stream", "xyz"},
        HeadCase{"empty filename", part("Content-Disposition: form-data; name=\"f\"; filename=\"\"\r\n", "d"),
                 "f", "", "", "d"},
        HeadCase{"no disposition", part("Content-Type: text/plain\r\n", "plain"), "", "", "text/plain", "plain"},
        HeadCase{"no headers", "--X\r\n\r\nbare\r\n--X--", "", "", "", "bare"},
        HeadCase{"63-character name fits", part("Content-Disposition: form-data; name=\"" + k63 + "\"\r\n", "d"),
                 k63, "", "", "d"},
        HeadCase{"64-character name cut", part("Content-Disposition: form-data; name=\"" + k64 + "\"\r\n", "d"),
                 "mmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmm", "", "", "d"},
        HeadCase{"filename before name",
                 part("Content-Disposition: form-data; filename=\"f.bin\"; name=\"real\"\r\n", "d"), "real",
                 "f.bin", "", "d"},
        HeadCase{"quoted value holding ; name=",
                 part("Content-Disposition: form-data; filename=\"a; name=b\"; name=\"c\"\r\n", "d"), "c",
                 "a; name=b", "", "d"},
        HeadCase{"name= on a later line is no parameter",
                 part("Content-Disposition: form-data\r\nX-Note: name=\"wrong\"\r\n", "name=\"data\""), "", "", "",
                 "name=\"data\""},
        HeadCase{"unquoted values end at ; and blank",
                 part("Content-Disposition: form-data; name=block_content; filename=x.bin \r\n", "d"),
                 "block_content", "x.bin", "", "d"},
        HeadCase{"unquoted value at line end", part("Content-Disposition: form-data; name=abc\r\n", "d"), "abc", "",
                 "", "d"},
        HeadCase{"single quotes", part("Content-Disposition: form-data; name='sq'\r\n", "d"), "sq", "", "", "d"},
        HeadCase{"backslash quote",
                 part("Content-Disposition: form-data; name=\\\"bq\\\"\r\n", "d"), "bq\\", "", "", "d"},
        HeadCase{"unclosed quote runs to the line end",
                 part("Content-Disposition: form-data; name=\"open\r\n", "d"), "open", "", "", "d"},
        HeadCase{"LF-only lines", "--X\nContent-Disposition: form-data; name=\"lf\"\nContent-Type: text/x\n\r\nd\r\n--X--",
                 "lf", "", "text/x", "d"},
        HeadCase{"empty content type", part("Content-Type: \r\n", "d"), "", "", "", "d"},
        HeadCase{"one-character content type, LF only", "--X\nContent-Type: a\n\r\nd\r\n--X--", "", "", "a", "d"},
        HeadCase{"content type cut to capacity",
                 part("Content-Type: " + std::string(100, 't') + "\r\n", "d"), "", "", std::string(63, 't'),
                 "d"},
        HeadCase{"delimiter at the data start: empty part", "--X\r\nContent-Disposition: form-data; name=\"e\"\r\n\r\n--X--",
                 "e", "", "", ""},
        HeadCase{"empty data", part("Content-Disposition: form-data; name=\"e\"\r\n", ""), "e", "", "", ""},
        HeadCase{"boundary mid-line in the data", part("", "foo--Xbar--X\r\nbaz"), "", "", "", "foo--Xbar--X\r\nbaz"},
        HeadCase{"boundary right after the data start", part("", "A--X\r\nB"), "", "", "", "A--X\r\nB"},
        HeadCase{"boundary after CR alone", "--X\r\n\r\n\r--X\r\n\r\n--X--", "", "", "", "\r--X\r\n"},
        HeadCase{"longer boundary-like line in the data", part("", "\r\n--XY\r\n"), "", "", "", "\r\n--XY\r\n"}),
    case_name<HeadCase>);

TEST(MultipartHead, ContentTypeKeptWithoutItsLine)
{
    // Callers that need each part's own type clear the buffer themselves.
    ExactBytes in(part("Content-Disposition: form-data; name=\"a\"\r\n", "d"));
    char name[MULTIPART_NAME_SIZE], filename[32];
    char type[32] = "image/jpeg";
    const char* data;
    uint64_t n;
    EXPECT_NE(multipart_next_part(in.data(), in.size, name, filename, sizeof filename, type, sizeof type, &data, &n),
              0u);
    EXPECT_STREQ(type, "image/jpeg");
}

TEST(MultipartHead, SmallCallerBuffers)
{
    // The model upload passes 32-byte filename and type buffers.
    Part p;
    ASSERT_TRUE(parse_one(part("Content-Disposition: form-data; name=\"n\"; filename=\"" + std::string(40, 'f') +
                                   "\"\r\nContent-Type: " + std::string(40, 't') + "\r\n",
                               "d"),
                          &p, 32, 32));
    EXPECT_EQ(p.filename, std::string(31, 'f'));
    EXPECT_EQ(p.content_type, std::string(31, 't'));
    ASSERT_TRUE(parse_one(part("Content-Disposition: form-data; name=\"n\"; filename=\"abc\"\r\n", "d"), &p, 1, 1));
    EXPECT_EQ(p.filename, "");
}

TEST(MultipartHead, NameBufferOf64WithCanary)
{
    struct {
        char name[MULTIPART_NAME_SIZE];
        unsigned char canary[8];
    } guarded;
    for (const std::string& name : {k63, std::string(200, 'q')}) {
        std::memset(guarded.canary, 0x5A, sizeof guarded.canary);
        ExactBytes in(part("Content-Disposition: form-data; name=\"" + name + "\"\r\n", "d"));
        const char* data;
        uint64_t n;
        ASSERT_NE(multipart_next_part(in.data(), in.size, guarded.name, nullptr, 0, nullptr, 0, &data, &n), 0u);
        EXPECT_EQ(std::string(guarded.name), name.substr(0, 63));
        for (unsigned char c : guarded.canary)
            EXPECT_EQ(c, 0x5A);
    }
}

struct NoPartCase {
    const char* label;
    std::string body;
};

class MultipartNoPart : public ::testing::TestWithParam<NoPartCase> {};

void PrintTo(const NoPartCase& c, std::ostream* os) { *os << c.label; }

TEST_P(MultipartNoPart, ReturnsZero)
{
    Part p;
    EXPECT_FALSE(parse_one(GetParam().body, &p)) << GetParam().label;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MultipartNoPart,
    ::testing::Values(NoPartCase{"empty", ""}, NoPartCase{"one byte", "-"}, NoPartCase{"two bytes", "--"},
                      NoPartCase{"three bytes", "--X"}, NoPartCase{"no head end", "--X\r\nContent-Type: a\r\n"},
                      NoPartCase{"no leading dashes", "X-\r\n\r\nd\r\nX-\r\n"},
                      NoPartCase{"LF third", "--\n\r\nd\r\n--\n"},
                      NoPartCase{"boundary of dashes only", "--\r\n\r\nd\r\n--\r\n"},
                      NoPartCase{"no following delimiter", "--X\r\n\r\ndata without end"},
                      NoPartCase{"delimiter cut before its end", "--XYZ\r\n\r\ndata\r\n--XY"},
                      NoPartCase{"zero byte in the head", BIN("--X\r\nA\0B\r\n\r\nd\r\n--X--")},
                      NoPartCase{"JPEG-like body",
                                 BIN("\xFF\xD8\xFF\xE0\x00\x10JFIF\x00\x01\x01\n\r\n--\r\n\r\n--")},
                      NoPartCase{"over-long boundary",
                                 "--" + std::string(300, 'b') + "\r\n\r\nd\r\n--" + std::string(300, 'b') + "--"}),
    case_name<NoPartCase>);

// Every truncation of a body gives a prefix of the full body's parts, each
// identical to the full one; every start offset gives only in-range parts.
TEST(MultipartRobustness, EveryTruncationAndStart)
{
    const std::vector<std::string> bodies = {kTwoParts, kCurlBody,
                                             part("Content-Disposition: form-data; name=\"e\"\r\n", "")};
    for (const std::string& body : bodies) {
        const std::vector<Part> full = parse_all(body);
        for (size_t cut = 0; cut <= body.size(); ++cut) {
            ExactBytes in(body.data(), cut);
            std::vector<Part> got = parse_all(in.data(), in.size);
            ASSERT_LE(got.size(), full.size()) << "cut " << cut;
            for (size_t i = 0; i < got.size(); ++i) {
                EXPECT_EQ(got[i].name, full[i].name) << "cut " << cut;
                EXPECT_EQ(got[i].data, full[i].data) << "cut " << cut;
                EXPECT_EQ(got[i].advance, full[i].advance) << "cut " << cut;
            }
        }
        for (size_t start = 0; start <= body.size(); ++start) {
            ExactBytes in(body.data() + start, body.size() - start);
            parse_all(in.data(), in.size);
        }
    }
}

TEST(MultipartRobustness, RandomMutations)
{
    std::mt19937 rng(1234);
    const std::string alphabet = BIN("-\r\n\"';= X\\\0a");
    for (int round = 0; round < 3000; ++round) {
        std::string body = round % 2 ? kCurlBody : kTwoParts;
        int edits = 1 + static_cast<int>(rng() % 6);
        for (int e = 0; e < edits && !body.empty(); ++e) {
            size_t at = rng() % body.size();
            switch (rng() % 3) {
            case 0: body[at] = alphabet[rng() % alphabet.size()]; break;
            case 1: body.erase(at, 1 + rng() % 4); break;
            default: body.insert(at, 1, alphabet[rng() % alphabet.size()]); break;
            }
        }
        parse_all(body);
    }
}

}  // namespace
