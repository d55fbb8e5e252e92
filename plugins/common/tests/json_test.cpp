#include "json.h"
#include "json_alloc.h"
#include "case_name.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <vector>

namespace {

#define BIN(literal) std::string(literal, sizeof(literal) - 1)

// A growing buffer that starts empty and is freed at the end of the test.
struct Doc {
    char* text = nullptr;
    uint64_t capacity = 0;
    char* pos = nullptr;
    ~Doc() { std::free(text); }
    std::string str() const { return pos ? std::string(text, pos) : std::string("<null>"); }
};

TEST(JsonWriter, ObjectWithEscapedString)
{
    Doc d;
    d.pos = json_obj_open(&d.text, &d.capacity, d.pos, nullptr);
    d.pos = json_int(&d.text, &d.capacity, d.pos, "a", 1);
    d.pos = json_str(&d.text, &d.capacity, d.pos, "b", "x\"y");
    d.pos = json_obj_close(&d.text, &d.capacity, d.pos);
    d.pos = json_end(d.text, d.pos);
    EXPECT_EQ(d.str(), "{\"a\":1,\"b\":\"x\\\"y\"}");
    EXPECT_EQ(std::strlen(d.text), d.str().size());
}

TEST(JsonWriter, EmptyObjectAndNesting)
{
    Doc d;
    d.pos = json_obj_open(&d.text, &d.capacity, d.pos, nullptr);
    d.pos = json_obj_close(&d.text, &d.capacity, d.pos);
    EXPECT_EQ(d.str(), "{},");
    d.pos = json_end(d.text, d.pos);
    EXPECT_EQ(d.str(), "{}");

    Doc n;
    n.pos = json_obj_open(&n.text, &n.capacity, n.pos, nullptr);
    n.pos = json_arr_open(&n.text, &n.capacity, n.pos, "list");
    n.pos = json_null(&n.text, &n.capacity, n.pos, nullptr);
    n.pos = json_bool(&n.text, &n.capacity, n.pos, nullptr, true);
    n.pos = json_bool(&n.text, &n.capacity, n.pos, nullptr, false);
    n.pos = json_arr_close(&n.text, &n.capacity, n.pos);
    n.pos = json_arr_open(&n.text, &n.capacity, n.pos, "empty");
    n.pos = json_arr_close(&n.text, &n.capacity, n.pos);
    n.pos = json_obj_open(&n.text, &n.capacity, n.pos, "o");
    n.pos = json_null(&n.text, &n.capacity, n.pos, "z");
    n.pos = json_obj_close(&n.text, &n.capacity, n.pos);
    n.pos = json_obj_close(&n.text, &n.capacity, n.pos);
    n.pos = json_end(n.text, n.pos);
    EXPECT_EQ(n.str(), "{\"list\":[null,true,false],\"empty\":[],\"o\":{\"z\":null}}");
}

struct EscapeCase {
    const char* label;
    std::string in;
    std::string out;  // between the quotes
};

class JsonEscape : public ::testing::TestWithParam<EscapeCase> {};

void PrintTo(const EscapeCase& c, std::ostream* os) { *os << c.label; }

TEST_P(JsonEscape, WrittenAndCounted)
{
    const EscapeCase& c = GetParam();
    Doc d;
    d.pos = json_str(&d.text, &d.capacity, d.pos, nullptr, c.in.c_str());
    ASSERT_NE(d.pos, nullptr);
    EXPECT_EQ(d.str(), "\"" + c.out + "\",") << c.label;
    EXPECT_EQ(json_escaped_length(c.in.c_str(), SIZE_MAX), c.out.size()) << c.label;
}

const std::string kFFFD = "\xEF\xBF\xBD";

INSTANTIATE_TEST_SUITE_P(
    Cases, JsonEscape,
    ::testing::Values(
        EscapeCase{"byte 0x01", "\x01", "\\u0001"}, EscapeCase{"byte 0x1F upper-case hex", "\x1F", "\\u001F"},
        EscapeCase{"named controls", "\b\t\n\f\r", "\\b\\t\\n\\f\\r"},
        EscapeCase{"quote and backslash", "a\"b\\c", "a\\\"b\\\\c"}, EscapeCase{"slash unchanged", "a/b", "a/b"},
        EscapeCase{"DEL unchanged", "\x7F", "\x7F"}, EscapeCase{"empty", "", ""},
        EscapeCase{"valid UTF-8 unchanged", "\xC3\xA9 \xE2\x82\xAC \xF0\x9D\x84\x9E \xF4\x8F\xBF\xBF",
                   "\xC3\xA9 \xE2\x82\xAC \xF0\x9D\x84\x9E \xF4\x8F\xBF\xBF"},
        EscapeCase{"stray continuation byte", "a\x80z", "a" + kFFFD + "z"},
        EscapeCase{"lead byte at the end", "\xC3", kFFFD},
        EscapeCase{"truncated three-byte sequence", "\xE2\x82", kFFFD + kFFFD},
        EscapeCase{"lead byte before a quote", "\xE2\"", kFFFD + "\\\""},
        EscapeCase{"overlong encoding", "\xC0\xAF", kFFFD + kFFFD},
        EscapeCase{"overlong three-byte", "\xE0\x80\xAF", kFFFD + kFFFD + kFFFD},
        EscapeCase{"surrogate", "\xED\xA0\x80", kFFFD + kFFFD + kFFFD},
        EscapeCase{"beyond U+10FFFF", "\xF4\x90\x80\x80", kFFFD + kFFFD + kFFFD + kFFFD},
        EscapeCase{"byte 0xFF", "\xFF", kFFFD}),
    case_name<EscapeCase>);

TEST(JsonEscape, MaximumCount)
{
    char buffer[32];
    char* end = json_put_str(buffer, "k", "abcdef", 3);
    EXPECT_EQ(std::string(buffer, end), "\"k\":\"abc\",");
    // A sequence cut by the count is not read past it.
    end = json_put_str(buffer, nullptr, "\xE2\x82\xAC", 2);
    EXPECT_EQ(std::string(buffer, end), "\"" + kFFFD + kFFFD + "\",");
    EXPECT_EQ(json_escaped_length("\xE2\x82\xAC", 2), 6u);
}

struct Base64Case {
    std::string in, out;
};

void PrintTo(const Base64Case& c, std::ostream* os) { *os << c.out; }

class JsonBase64 : public ::testing::TestWithParam<Base64Case> {};

TEST_P(JsonBase64, Encodes)
{
    const Base64Case& c = GetParam();
    Doc d;
    d.pos = json_base64(&d.text, &d.capacity, d.pos, "data", c.in.data(), c.in.size());
    EXPECT_EQ(d.str(), "\"data\":\"" + c.out + "\",");
    EXPECT_EQ(json_base64_length(c.in.size()), c.out.size());
}

INSTANTIATE_TEST_SUITE_P(Cases, JsonBase64,
                         ::testing::Values(Base64Case{"abc", "YWJj"}, Base64Case{"ab", "YWI="},
                                           Base64Case{"a", "YQ=="}, Base64Case{"", ""},
                                           Base64Case{"foobar", "Zm9vYmFy"}, Base64Case{"fooba", "Zm9vYmE="},
                                           Base64Case{"foob", "Zm9vYg=="},
                                           Base64Case{BIN("\x00\xFF\xFE\x3E\x3F"), "AP/+Pj8="}));

TEST(JsonNumbers, Formats)
{
    Doc d;
    d.pos = json_arr_open(&d.text, &d.capacity, d.pos, nullptr);
    d.pos = json_int(&d.text, &d.capacity, d.pos, nullptr, std::numeric_limits<int32_t>::min());
    d.pos = json_int(&d.text, &d.capacity, d.pos, nullptr, 2147483647);
    d.pos = json_int64(&d.text, &d.capacity, d.pos, nullptr, std::numeric_limits<int64_t>::min());
    d.pos = json_int64(&d.text, &d.capacity, d.pos, nullptr, 9007199254740993LL);
    d.pos = json_uint(&d.text, &d.capacity, d.pos, nullptr, 4294967295u);
    d.pos = json_uint64(&d.text, &d.capacity, d.pos, nullptr, 18446744073709551615ull);
    d.pos = json_double(&d.text, &d.capacity, d.pos, nullptr, 0.5);
    d.pos = json_double(&d.text, &d.capacity, d.pos, nullptr, -1e300);
    d.pos = json_double(&d.text, &d.capacity, d.pos, nullptr, 123456789.0);
    d.pos = json_double(&d.text, &d.capacity, d.pos, nullptr, DBL_MAX);
    d.pos = json_double(&d.text, &d.capacity, d.pos, nullptr, std::nan(""));
    d.pos = json_double(&d.text, &d.capacity, d.pos, nullptr, -INFINITY);
    d.pos = json_double(&d.text, &d.capacity, d.pos, "p", INFINITY);
    d.pos = json_arr_close(&d.text, &d.capacity, d.pos);
    d.pos = json_end(d.text, d.pos);
    EXPECT_EQ(d.str(),
              "[-2147483648,2147483647,-9223372036854775808,9007199254740993,4294967295,18446744073709551615,"
              "0.5,-1e+300,1.23457e+08,1.79769e+308,\"nan\",\"inf\",\"p\":\"inf\"]");
}

TEST(JsonGrowth, FromFullBufferKeepsOffset)
{
    Doc d;
    d.capacity = 4096;
    d.text = static_cast<char*>(std::malloc(d.capacity));
    std::memset(d.text, 'q', d.capacity);
    d.pos = d.text + 4086;
    *d.pos = '\0';
    // A nameless 16-character string needs 4 + 16 = 20 bytes.
    d.pos = json_str(&d.text, &d.capacity, d.pos, nullptr, "0123456789abcdef");
    ASSERT_NE(d.pos, nullptr);
    EXPECT_EQ(d.capacity, 2u * 4096 + 40);
    EXPECT_EQ(std::string(d.text + 4086), "\"0123456789abcdef\",");
    EXPECT_EQ(std::string(d.text, 4086), std::string(4086, 'q'));
}

TEST(JsonGrowth, CloserGrowsByFour)
{
    Doc d;
    d.capacity = 8;
    d.text = static_cast<char*>(std::calloc(1, d.capacity));
    std::memcpy(d.text, "[1,2,3,", 8);
    d.pos = d.text + 7;
    d.pos = json_arr_close(&d.text, &d.capacity, d.pos);
    EXPECT_EQ(d.capacity, 2u * 8 + 4);
    EXPECT_EQ(d.str(), "[1,2,3],");
}

// Fails every realloc from the armed call on.
int g_reallocs_left = -1;
void* failing_realloc(void* block, size_t size)
{
    if (g_reallocs_left == 0)
        return nullptr;
    if (g_reallocs_left > 0)
        --g_reallocs_left;
    return std::realloc(block, size);
}

struct ReallocSeam {
    explicit ReallocSeam(int allowed)
    {
        g_reallocs_left = allowed;
        json_set_realloc(failing_realloc);
    }
    ~ReallocSeam() { json_set_realloc(nullptr); }
};

TEST(JsonGrowth, FailedReallocKeepsDocument)
{
    Doc d;
    d.pos = json_obj_open(&d.text, &d.capacity, d.pos, nullptr);
    d.pos = json_str(&d.text, &d.capacity, d.pos, "k", "value");
    ASSERT_NE(d.pos, nullptr);
    const std::string before = d.str();
    char* const text = d.text;
    const uint64_t capacity = d.capacity;
    const std::string big(capacity * 2, 'x');
    ReallocSeam seam(0);
    EXPECT_EQ(json_str(&d.text, &d.capacity, d.pos, "big", big.c_str()), nullptr);
    EXPECT_EQ(json_base64(&d.text, &d.capacity, d.pos, "b", big.data(), big.size()), nullptr);
    EXPECT_EQ(d.text, text);
    EXPECT_EQ(d.capacity, capacity);
    EXPECT_EQ(std::string(d.text), before);
    // Writers that still fit go on without growing.
    d.pos = json_obj_close(&d.text, &d.capacity, d.pos);
    d.pos = json_end(d.text, d.pos);
    EXPECT_EQ(d.str(), "{\"k\":\"value\"}");
}

TEST(JsonGrowth, FailureOnEveryWriter)
{
    using Writer = char* (*)(char**, uint64_t*, char*);
    const std::vector<std::pair<const char*, Writer>> writers = {
        {"obj_open", [](char** t, uint64_t* c, char* p) { return json_obj_open(t, c, p, "n"); }},
        {"obj_close", [](char** t, uint64_t* c, char* p) { return json_obj_close(t, c, p); }},
        {"arr_open", [](char** t, uint64_t* c, char* p) { return json_arr_open(t, c, p, nullptr); }},
        {"arr_close", [](char** t, uint64_t* c, char* p) { return json_arr_close(t, c, p); }},
        {"int", [](char** t, uint64_t* c, char* p) { return json_int(t, c, p, "n", -5); }},
        {"int64", [](char** t, uint64_t* c, char* p) { return json_int64(t, c, p, "n", -5); }},
        {"uint", [](char** t, uint64_t* c, char* p) { return json_uint(t, c, p, "n", 5); }},
        {"uint64", [](char** t, uint64_t* c, char* p) { return json_uint64(t, c, p, "n", 5); }},
        {"double", [](char** t, uint64_t* c, char* p) { return json_double(t, c, p, "n", 0.25); }},
        {"double nan", [](char** t, uint64_t* c, char* p) { return json_double(t, c, p, "n", NAN); }},
        {"null", [](char** t, uint64_t* c, char* p) { return json_null(t, c, p, "n"); }},
        {"bool", [](char** t, uint64_t* c, char* p) { return json_bool(t, c, p, "n", true); }},
        {"base64", [](char** t, uint64_t* c, char* p) { return json_base64(t, c, p, "n", "abc", 3); }},
    };
    for (const auto& [label, write] : writers) {
        Doc d;
        d.capacity = 2;
        d.text = static_cast<char*>(std::malloc(2));
        std::memcpy(d.text, "[", 2);
        d.pos = d.text + 1;
        {
            ReallocSeam seam(0);
            EXPECT_EQ(write(&d.text, &d.capacity, d.pos), nullptr) << label;
        }
        EXPECT_EQ(d.capacity, 2u) << label;
        EXPECT_STREQ(d.text, "[") << label;
        EXPECT_NE(write(&d.text, &d.capacity, d.pos), nullptr) << label;
    }
}

TEST(JsonGrowth, RoomOverflowAndBadPositions)
{
    Doc d;
    d.pos = json_obj_open(&d.text, &d.capacity, d.pos, nullptr);
    ASSERT_NE(d.pos, nullptr);
    const char byte = 'x';
    // Never read: the room computation fails before anything is encoded.
    EXPECT_EQ(json_base64(&d.text, &d.capacity, d.pos, nullptr, &byte, UINT64_MAX / 2), nullptr);
    EXPECT_EQ(json_base64(&d.text, &d.capacity, d.pos, nullptr, &byte, UINT64_MAX), nullptr);
    EXPECT_EQ(json_base64_length(UINT64_MAX), UINT64_MAX);
    EXPECT_EQ(json_base64(&d.text, &d.capacity, d.pos, nullptr, nullptr, 3), nullptr);
    // A failed writer's NULL is passed along, and so is a position outside the text.
    EXPECT_EQ(json_int(&d.text, &d.capacity, nullptr, "a", 1), nullptr);
    EXPECT_EQ(json_int(&d.text, &d.capacity, d.text + d.capacity, "a", 1), nullptr);
    EXPECT_EQ(json_end(d.text, nullptr), nullptr);
    EXPECT_EQ(d.str(), "{");
}

TEST(JsonRaw, ClosersNeverLookBeforeTheText)
{
    // The byte before the text is a ','; a closer at the text start must not take it.
    char storage[8] = {',', 'Q', 'Q', 'Q', 'Q', 'Q', 'Q', 'Q'};
    char* text = storage + 1;
    char* end = json_put_obj_close(text, text);
    EXPECT_EQ(std::string(text, end), "},");
    EXPECT_EQ(storage[0], ',');
    end = json_put_arr_close(text, text);
    EXPECT_EQ(std::string(text, end), "],");
    text[0] = 'Q';
    EXPECT_EQ(json_end(text, text), text);
    EXPECT_EQ(storage[0], ',');
    EXPECT_EQ(text[0], 'Q');
}

TEST(JsonRaw, PutWriters)
{
    char buffer[128];
    char* p = json_put_obj_open(buffer, nullptr);
    p = json_put_name(p, "n");
    EXPECT_EQ(std::string(buffer, p), "{\"n\":\"");
    p = json_put_obj_open(buffer, "o");
    p = json_put_arr_open(p, "a");
    p = json_put_int(p, nullptr, -7);
    p = json_put_uint(p, "u", 7);
    p = json_put_int64(p, "i", -1);
    p = json_put_uint64(p, "w", 1);
    p = json_put_double(p, "d", 2.5);
    p = json_put_double(p, "e", NAN);
    p = json_put_null(p, nullptr);
    p = json_put_bool(p, "b", false);
    p = json_put_base64(p, "x", "ab", 2);
    p = json_put_arr_close(buffer, p);
    p = json_put_obj_close(buffer, p);
    p = json_end(buffer, p);
    EXPECT_EQ(std::string(buffer, p),
              "\"o\":{\"a\":[-7,\"u\":7,\"i\":-1,\"w\":1,\"d\":2.5,\"e\":\"nan\",null,\"b\":false,\"x\":\"YWI=\"]}");
    EXPECT_EQ(*p, '\0');
}

TEST(JsonFixed, StopsAtTheBufferEnd)
{
    struct {
        char text[12];
        char canary[4];
    } b;
    std::memset(&b, '#', sizeof b);
    const char* end = b.text + sizeof b.text;
    char* p = json_fixed_obj_open(b.text, end, nullptr);
    ASSERT_NE(p, nullptr);
    // {"s":"abc", needs 10 bytes plus the zero: fits 12 - 1 = 11 bytes left.
    char* q = json_fixed_str(p, end, "s", "abcd");
    EXPECT_EQ(q, nullptr);
    EXPECT_EQ(*p, '\0');
    q = json_fixed_str(p, end, "s", "abc");
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(q, end - 1);
    EXPECT_EQ(json_fixed_int(q, end, nullptr, 1), nullptr);
    EXPECT_EQ(json_fixed_arr_open(q, end, nullptr), nullptr);
    // A closer replaces the ',' and needs two more bytes: it does not fit here.
    EXPECT_EQ(json_fixed_obj_close(b.text, q, end), nullptr);
    EXPECT_EQ(std::string(b.text), "{\"s\":\"abc\",");
    EXPECT_EQ(std::string(b.canary, 4), "####");

    char small[16];
    const char* small_end = small + sizeof small;
    p = json_fixed_arr_open(small, small_end, "a");
    p = json_fixed_int(p, small_end, nullptr, -12);
    p = json_fixed_arr_close(small, p, small_end);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(std::string(small, p), "\"a\":[-12],");
    EXPECT_EQ(json_fixed_int(p, small_end, nullptr, -2147483647 - 1), nullptr);
}

struct ParseCase {
    const char* text;
    int result;  // token count, -1 malformed, -2 too many tokens
};

void PrintTo(const ParseCase& c, std::ostream* os) { *os << ::testing::PrintToString(std::string(c.text)); }

class JsonParse : public ::testing::TestWithParam<ParseCase> {};

TEST_P(JsonParse, Result)
{
    std::string s = GetParam().text;
    std::vector<json_token> tokens(8);
    EXPECT_EQ(json_parse(s.data(), s.size(), tokens.data(), static_cast<int>(tokens.size())), GetParam().result)
        << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(Cases, JsonParse,
                         ::testing::Values(ParseCase{"{}", 1}, ParseCase{" [ ] ", 1}, ParseCase{"-0.5e+3", 1},
                                           ParseCase{"{\"a\":[1,true,null]}", 6}, ParseCase{"", -1},
                                           ParseCase{"{", -1}, ParseCase{"[1,]", -1}, ParseCase{"{\"a\":1,}", -1},
                                           ParseCase{"{\"a\" 1}", -1}, ParseCase{"[1 2]", -1}, ParseCase{"01", -1},
                                           ParseCase{"1.", -1}, ParseCase{"\"\\x\"", -1}, ParseCase{"\"a", -1},
                                           ParseCase{"\"\\ud800\"", -1}, ParseCase{"tru", -1},
                                           ParseCase{"[1] 2", -1}, ParseCase{"[1,2,3,4,5,6,7,8]", -2},
                                           ParseCase{"\"\x01\"", -1}));

TEST(JsonParse, ReadsWriterOutputInPlace)
{
    Doc d;
    d.pos = json_obj_open(&d.text, &d.capacity, d.pos, nullptr);
    d.pos = json_str(&d.text, &d.capacity, d.pos, "s", "q\"\\\n\x01\xC3\xA9");
    d.pos = json_arr_open(&d.text, &d.capacity, d.pos, "n");
    d.pos = json_int(&d.text, &d.capacity, d.pos, nullptr, -42);
    d.pos = json_arr_close(&d.text, &d.capacity, d.pos);
    d.pos = json_obj_close(&d.text, &d.capacity, d.pos);
    d.pos = json_end(d.text, d.pos);
    std::string doc = d.str();
    json_token t[8];
    ASSERT_EQ(json_parse(doc.data(), doc.size(), t, 8), 6);
    EXPECT_EQ(t[0].kind, JSON_OBJECT);
    EXPECT_EQ(t[0].children, 4);
    EXPECT_EQ(t[0].length, doc.size());
    EXPECT_EQ(t[1].kind, JSON_STRING);
    EXPECT_STREQ(t[1].start, "s");
    EXPECT_EQ(t[2].kind, JSON_STRING);
    EXPECT_EQ(std::string(t[2].start, t[2].length), "q\"\\\n\x01\xC3\xA9");
    EXPECT_STREQ(t[3].start, "n");
    EXPECT_EQ(t[4].kind, JSON_ARRAY);
    EXPECT_EQ(t[4].children, 1);
    EXPECT_EQ(t[5].kind, JSON_NUMBER);
    EXPECT_EQ(t[5].parent, 4);
    EXPECT_EQ(std::string(t[5].start, t[5].length), "-42");

    std::string u = "\"\\u00e9\\ud834\\udd1e\\/\"";
    ASSERT_EQ(json_parse(u.data(), u.size(), t, 8), 1);
    EXPECT_EQ(std::string(t[0].start, t[0].length), "\xC3\xA9\xF0\x9D\x84\x9E/");
}

TEST(JsonParse, DeepNestingIsBoundedByTokens)
{
    std::string deep(100000, '[');
    std::vector<json_token> tokens(64);
    EXPECT_EQ(json_parse(deep.data(), deep.size(), tokens.data(), 64), -2);
}

}  // namespace

namespace {

// With exactly the room the growing layer asks for, a writer must not grow
// and must not write past the buffer: the buffer is an exact-size heap block.
struct RoomCase {
    const char* label;
    uint64_t room;
    std::function<char*(char**, uint64_t*, char*)> write;
    std::string text;
};

void PrintTo(const RoomCase& c, std::ostream* os) { *os << c.label; }

class JsonRoom : public ::testing::TestWithParam<RoomCase> {};

TEST_P(JsonRoom, ExactRoomNeedsNoGrowthAndStaysInside)
{
    const RoomCase& c = GetParam();
    const uint64_t used = 3;
    Doc d;
    d.capacity = used + c.room;
    d.text = static_cast<char*>(std::malloc(d.capacity));
    std::memcpy(d.text, "[1,", used);
    d.text[used] = '\0';
    char* const before = d.text;
    d.pos = c.write(&d.text, &d.capacity, d.text + used);
    ASSERT_NE(d.pos, nullptr);
    EXPECT_EQ(d.text, before) << "grew although the room was there";
    EXPECT_EQ(d.capacity, used + c.room);
    EXPECT_EQ(std::string(d.text + used), c.text);
    // One byte less: the writer grows instead of overflowing.
    Doc e;
    e.capacity = used + c.room - 1;
    e.text = static_cast<char*>(std::malloc(e.capacity));
    std::memcpy(e.text, "[1,", used);
    e.text[used] = '\0';
    e.pos = c.write(&e.text, &e.capacity, e.text + used);
    ASSERT_NE(e.pos, nullptr);
    EXPECT_EQ(e.capacity, 2 * (used + c.room - 1) + 2 * c.room);
}

const std::string kName8 = "abcdefgh";

INSTANTIATE_TEST_SUITE_P(
    Cases, JsonRoom,
    ::testing::Values(
        RoomCase{"obj_open", 2, [](char** t, uint64_t* c, char* p) { return json_obj_open(t, c, p, nullptr); }, "{"},
        RoomCase{"obj_open named", 8 + 6,
                 [](char** t, uint64_t* c, char* p) { return json_obj_open(t, c, p, kName8.c_str()); },
                 "\"abcdefgh\":{"},
        RoomCase{"arr_open", 2, [](char** t, uint64_t* c, char* p) { return json_arr_open(t, c, p, nullptr); }, "["},
        RoomCase{"str", 4 + 6,
                 [](char** t, uint64_t* c, char* p) { return json_str(t, c, p, nullptr, "\x01"); }, "\"\\u0001\","},
        RoomCase{"str named", 8 + 9 + 3,
                 [](char** t, uint64_t* c, char* p) { return json_str(t, c, p, kName8.c_str(), "\xFF"); },
                 "\"abcdefgh\":\"\xEF\xBF\xBD\","},
        RoomCase{"int minimum", 24,
                 [](char** t, uint64_t* c, char* p) { return json_int(t, c, p, nullptr, INT32_MIN); },
                 "-2147483648,"},
        RoomCase{"int64 minimum", 26,
                 [](char** t, uint64_t* c, char* p) { return json_int64(t, c, p, nullptr, INT64_MIN); },
                 "-9223372036854775808,"},
        RoomCase{"uint maximum", 24,
                 [](char** t, uint64_t* c, char* p) { return json_uint(t, c, p, nullptr, UINT32_MAX); },
                 "4294967295,"},
        RoomCase{"uint64 maximum", 26,
                 [](char** t, uint64_t* c, char* p) { return json_uint64(t, c, p, nullptr, UINT64_MAX); },
                 "18446744073709551615,"},
        RoomCase{"double", 316,
                 [](char** t, uint64_t* c, char* p) { return json_double(t, c, p, nullptr, -1.5e-300); },
                 "-1.5e-300,"},
        RoomCase{"null", 6, [](char** t, uint64_t* c, char* p) { return json_null(t, c, p, nullptr); }, "null,"},
        RoomCase{"null named", 8 + 10,
                 [](char** t, uint64_t* c, char* p) { return json_null(t, c, p, kName8.c_str()); },
                 "\"abcdefgh\":null,"},
        RoomCase{"bool", 7, [](char** t, uint64_t* c, char* p) { return json_bool(t, c, p, nullptr, false); },
                 "false,"},
        RoomCase{"base64", 4 + 5,
                 [](char** t, uint64_t* c, char* p) { return json_base64(t, c, p, nullptr, "a", 1); }, "\"YQ==\","},
        RoomCase{"base64 named", 8 + 5 + 8 + 5,
                 [](char** t, uint64_t* c, char* p) { return json_base64(t, c, p, kName8.c_str(), "abcd", 4); },
                 "\"abcdefgh\":\"YWJjZA==\","}),
    case_name<RoomCase>);

}  // namespace
