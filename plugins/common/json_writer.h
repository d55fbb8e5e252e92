/* C++ form of the growing JSON writers: one write position in one reply
 * buffer. Once a writer has failed (the buffer could not grow) every later
 * call does nothing, so a document is written as one chain and checked once
 * at its end; pos() is then NULL, as the C writers report it. */
#ifndef BRINDLECAST_JSON_WRITER_H
#define BRINDLECAST_JSON_WRITER_H

#include <cstdint>

#include "json.h"

namespace plugin {

class JsonWriter {
public:
    /* Writes at `pos` inside `json` (its text start when omitted). */
    JsonWriter(json_buffer& json, char* pos) noexcept : json_(json), pos_(pos) {}
    explicit JsonWriter(json_buffer& json) noexcept : JsonWriter(json, json.text) {}

    char* pos() const noexcept { return pos_; }
    explicit operator bool() const noexcept { return pos_ != nullptr; }
    /* Goes on where a C writer handed pos() returned (NULL: it failed). */
    JsonWriter& resume(char* pos) noexcept
    {
        pos_ = pos;
        return *this;
    }

    JsonWriter& open_object(const char* name = nullptr) noexcept { return apply(json_obj_open, name); }
    JsonWriter& close_object() noexcept { return apply(json_obj_close); }
    JsonWriter& open_array(const char* name) noexcept { return apply(json_arr_open, name); }
    JsonWriter& close_array() noexcept { return apply(json_arr_close); }
    JsonWriter& str(const char* name, const char* value) noexcept { return apply(json_str, name, value); }
    /* The member only when there is a value. */
    JsonWriter& optional_str(const char* name, const char* value) noexcept
    {
        return value ? str(name, value) : *this;
    }
    JsonWriter& int32(const char* name, int32_t value) noexcept { return apply(json_int, name, value); }
    JsonWriter& int64(const char* name, int64_t value) noexcept { return apply(json_int64, name, value); }
    JsonWriter& uint32(const char* name, uint32_t value) noexcept { return apply(json_uint, name, value); }
    JsonWriter& uint64(const char* name, uint64_t value) noexcept { return apply(json_uint64, name, value); }
    JsonWriter& number(const char* name, double value) noexcept { return apply(json_double, name, value); }
    JsonWriter& null(const char* name) noexcept { return apply(json_null, name); }
    JsonWriter& base64(const char* name, const void* bytes, uint64_t count) noexcept
    {
        return apply(json_base64, name, bytes, count);
    }

private:
    template <typename Write, typename... Args>
    JsonWriter& apply(Write write, Args... args) noexcept
    {
        if (pos_)
            pos_ = write(&json_.text, &json_.capacity, pos_, args...);
        return *this;
    }

    json_buffer& json_;
    char* pos_;
};

} // namespace plugin

#endif /* BRINDLECAST_JSON_WRITER_H */
