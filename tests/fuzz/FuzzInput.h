// Reads a fuzzer's bytes as a stream of small numbers and texts; past the end it yields zeros.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

class FuzzInput {
public:
    FuzzInput(const uint8_t* data, std::size_t size) : data(data), size(size) {}

    bool Empty() const { return position >= size; }
    uint8_t Byte() { return position < size ? data[position++] : 0; }
    uint16_t Word() { return static_cast<uint16_t>(Byte() | Byte() << 8); }

    /// Up to n bytes of text without NULs.
    std::string Text(std::size_t n)
    {
        std::string text;
        while (text.size() < n && !Empty()) {
            const uint8_t byte = Byte();
            text.push_back(byte != 0 ? static_cast<char>(byte) : 'a');
        }
        return text;
    }

private:
    const uint8_t* data;
    std::size_t size;
    std::size_t position = 0;
};

/// A difference from the model: stop at once, with the fuzzer's crash report.
#define FUZZ_EXPECT(condition)                                                                                         \
    do {                                                                                                               \
        if (!(condition))                                                                                              \
            std::abort();                                                                                              \
    } while (0)
