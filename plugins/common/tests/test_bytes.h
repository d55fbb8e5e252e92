// Exact-size heap copies of test inputs, so that AddressSanitizer reports any
// read one byte before or after them.
#pragma once

#include <cstddef>
#include <cstring>
#include <memory>
#include <string>

struct ExactBytes {
    explicit ExactBytes(const std::string& s) : ExactBytes(s.data(), s.size()) {}
    ExactBytes(const char* p, size_t n) : size(n), bytes(new char[n])
    {
        if (n)
            std::memcpy(bytes.get(), p, n);
    }
    const char* data() const { return bytes.get(); }
    size_t size;
    std::unique_ptr<char[]> bytes;
};
