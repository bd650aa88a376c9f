// Reading a fuzz input field by field: single bytes and NUL-terminated texts. Past the end of
// the input every byte is 0 and every text empty.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace fuzzinput {

class Cursor {
  public:
    Cursor(const std::uint8_t *data, std::size_t size) : data_(data), size_(size) {}
    std::uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
    // The next text, up to its NUL (or the end of the input).
    std::string Text() {
        std::string out;
        while (at_ < size_ && data_[at_] != 0) {
            out += static_cast<char>(data_[at_++]);
        }
        if (at_ < size_) {
            ++at_;
        }
        return out;
    }
    // The next text into out[size], cut to size - 1 characters.
    void Text(char *out, std::size_t size) {
        const std::string text = Text();
        const std::size_t n = text.size() < size - 1 ? text.size() : size - 1;
        text.copy(out, n);
        out[n] = '\0';
    }

  private:
    const std::uint8_t *data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

}  // namespace fuzzinput
