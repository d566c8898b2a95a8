#pragma once
// A MemoryBuffer for tests without a table: Load and Save count their calls and
// can be made to fail; Resize can be made to fail too.

#include <vector>

#include "records/MemoryBuffer.h"

namespace quillet::testing {

class TestBuffer final : public MemoryBuffer {
  public:
    ResultCode Load() override {
        ++loads;
        return loadResult;
    }
    ResultCode Save() override {
        ++saves;
        if (saveResult == 0) dirty = false;
        return saveResult;
    }
    ResultCode Reset(std::int32_t freeStorage) override {
        if (freeStorage) FreeStorage();
        return 0;
    }
    bool IsDirty() override { return dirty; }
    bool Resize(std::int32_t n) override {
        if (failResize) return false;
        dirty = true;
        return MemoryBuffer::Resize(n);
    }
    bool Write(const void* source, std::int32_t offset, std::int32_t length) override {
        const bool done = MemoryBuffer::Write(source, offset, length);
        if (done) dirty = true;
        return done;
    }
    bool Move(std::int32_t destination, std::int32_t source, std::int32_t length) override {
        const bool done = MemoryBuffer::Move(destination, source, length);
        if (done) dirty = true;
        return done;
    }

    // Replaces the content with `bytes`.
    void SetBytes(const std::vector<std::uint8_t>& bytes) {
        MemoryBuffer::Resize(static_cast<std::int32_t>(bytes.size()));
        if (!bytes.empty())
            MemoryBuffer::Write(bytes.data(), 0, static_cast<std::int32_t>(bytes.size()));
    }
    std::vector<std::uint8_t> Bytes() {
        const std::uint8_t* d = Data();
        return d ? std::vector<std::uint8_t>(d, d + Size()) : std::vector<std::uint8_t>();
    }
    // The content as 16-bit words.
    std::vector<std::uint16_t> Words() {
        std::vector<std::uint16_t> words(static_cast<std::size_t>(Size() / 2));
        for (std::size_t i = 0; i < words.size(); ++i) {
            words[i] = static_cast<std::uint16_t>(Data()[2 * i] | (Data()[2 * i + 1] << 8));
        }
        return words;
    }
    void SetWords(const std::vector<std::uint16_t>& words) {
        std::vector<std::uint8_t> bytes;
        for (std::uint16_t w : words) {
            bytes.push_back(static_cast<std::uint8_t>(w));
            bytes.push_back(static_cast<std::uint8_t>(w >> 8));
        }
        SetBytes(bytes);
    }

    int loads = 0;
    int saves = 0;
    ResultCode loadResult = 0;
    ResultCode saveResult = 0;
    bool dirty = false;
    bool failResize = false;
};

}  // namespace quillet::testing
