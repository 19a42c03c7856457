// The byte layout the fuzz targets read their inputs in, and the writer that builds seeds in the
// same layout. A reader never fails: past the end of the input every value reads as 0, so any
// byte string is a valid input and a mutation only changes what it means.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vavedu::fuzz {

using Bytes = std::vector<uint8_t>;

class Input {
  public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    bool empty() const { return at_ >= size_; }
    size_t remaining() const { return empty() ? 0 : size_ - at_; }

    uint8_t u8() { return empty() ? 0 : data_[at_++]; }
    uint16_t u16() {
        const uint16_t low = u8();
        return static_cast<uint16_t>(low | (u8() << 8));
    }
    uint32_t u32() {
        const uint32_t low = u16();
        return low | (static_cast<uint32_t>(u16()) << 16);
    }
    // One of `n` choices (0 for n == 0).
    uint32_t below(uint32_t n) { return n == 0 ? 0 : u8() % n; }
    // Up to `n` bytes (fewer at the end of the input).
    Bytes bytes(size_t n) {
        const size_t take = n < remaining() ? n : remaining();
        Bytes out(data_ + at_, data_ + at_ + take);
        at_ += take;
        return out;
    }
    // A length-prefixed block (u8 length).
    Bytes block() { return bytes(u8()); }

  private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

class InputWriter {
  public:
    InputWriter& u8(uint32_t value) {
        bytes_.push_back(static_cast<uint8_t>(value));
        return *this;
    }
    InputWriter& u16(uint32_t value) { return u8(value).u8(value >> 8); }
    InputWriter& u32(uint32_t value) { return u16(value).u16(value >> 16); }
    InputWriter& raw(const Bytes& bytes) {
        bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
        return *this;
    }
    InputWriter& block(const Bytes& bytes) { return u8(bytes.size()).raw(bytes); }
    const Bytes& bytes() const { return bytes_; }

  private:
    Bytes bytes_;
};

// A named seed of a target's corpus.
struct Seed {
    std::string name;
    Bytes bytes;
};

}  // namespace vavedu::fuzz
