// Pieces of a text view that never throw. The standard view's substr throws for a position past
// the end; these give the empty piece at the end instead, so that the appliance programs need no
// C++ run-time library for them.
#pragma once

#include <cstddef>
#include <string_view>

// The text from `pos` on (empty when `pos` is at or past its end).
constexpr std::string_view TextFrom(std::string_view text, std::size_t pos) {
    text.remove_prefix(pos < text.size() ? pos : text.size());
    return text;
}

// At most the first `n` characters of the text.
constexpr std::string_view TextHead(std::string_view text, std::size_t n) {
    return std::string_view(text.data(), n < text.size() ? n : text.size());
}

// At most `n` characters of the text from `pos` on.
constexpr std::string_view TextPiece(std::string_view text, std::size_t pos, std::size_t n) {
    return TextHead(TextFrom(text, pos), n);
}
