#include "transcript/clean.h"

#include <array>
#include <cstddef>

namespace {

constexpr std::string_view text_key = "\"text\"";

constexpr std::array<std::string_view, 6> activation_prefixes = {
    "hey tovu", "hey siri", "hey sirii", "tovu", "siri", "sirii",
};

// Whitespace as the POSIX locale classifies it.
bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool is_separator(char c) {
    return is_space(c) || c == ',' || c == '.' || c == '!' || c == '?' || c == ':' || c == ';';
}

char to_lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// True when `text` starts with the lower-case `prefix`, ignoring ASCII case.
bool starts_with_folded(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) {
        return false;
    }
    for (size_t i = 0; i < prefix.size(); ++i) {
        if (to_lower(text[i]) != prefix[i]) {
            return false;
        }
    }
    return true;
}

// Offset of the first ':' after the "text" key, or npos.
size_t find_key_colon(std::string_view json) {
    const size_t key = json.find(text_key);
    return key == std::string_view::npos ? key : json.find(':', key);
}

} // namespace

std::string strip_activation_prefix(std::string_view json) {
    const size_t colon = find_key_colon(json);
    if (colon == std::string_view::npos) {
        return std::string(json);
    }
    const size_t open = json.find('"', colon);
    if (open == std::string_view::npos) {
        return std::string(json);
    }
    const size_t close = json.find('"', open + 1);
    if (close == std::string_view::npos) {
        return std::string(json);
    }
    std::string_view text = json.substr(open + 1, close - open - 1);
    while (!text.empty() && is_space(text.front())) {
        text.remove_prefix(1);
    }
    for (const std::string_view prefix : activation_prefixes) {
        if (!starts_with_folded(text, prefix)) {
            continue;
        }
        if (text.size() > prefix.size() && !is_separator(text[prefix.size()])) {
            continue; // only the start of a longer word
        }
        std::string_view request = text.substr(prefix.size());
        while (!request.empty() && is_separator(request.front())) {
            request.remove_prefix(1);
        }
        std::string cleaned;
        cleaned.reserve(json.size());
        cleaned.append(json.substr(0, open + 1));
        cleaned.append(request);
        cleaned.append(json.substr(close));
        return cleaned;
    }
    return std::string(json);
}

bool is_text_empty(std::string_view json) {
    if (json.size() <= 9) {
        return true;
    }
    const size_t colon = find_key_colon(json);
    if (colon == std::string_view::npos) {
        return true;
    }
    size_t at = colon + 1;
    while (at < json.size() && is_space(json[at])) {
        ++at;
    }
    if (at >= json.size() || json[at] != '"') {
        return true;
    }
    return at + 1 < json.size() && json[at + 1] == '"';
}
