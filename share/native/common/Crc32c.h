// CRC-32C (Castagnoli) of a byte stream fed in pieces: the check that an embedded package arrived whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class Crc32c {
public:
    // The processor's CRC instruction where it has one, else tables; tests ask for the tables on any machine.
    enum class Method { fastest, tables };

    explicit Crc32c(Method method = Method::fastest) : method_(method) {}

    void update(const void* data, size_t size);
    uint32_t value() const { return ~state_; }

    // "crc32c:" and the value in eight lower-case hexadecimal digits, as setup.exe stores it.
    std::string text() const;

private:
    uint32_t state_ = 0xFFFFFFFFu;
    [[maybe_unused]] Method method_; // read only where the processor has a CRC instruction
};
