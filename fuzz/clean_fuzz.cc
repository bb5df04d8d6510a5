// Fuzz target for the transcript cleaning: any byte string goes through
// strip_activation_prefix and is_text_empty, and the results are checked
// against properties computed here from scratch (nothing of the cleaning
// code is used to check itself).
#include "transcript/clean.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

constexpr size_t none = std::string_view::npos;

constexpr std::array<std::string_view, 6> wake_words = {
    "hey tovu", "hey siri", "hey sirii", "tovu", "siri", "sirii",
};

[[noreturn]] void fail(const char *what, std::string_view in, std::string_view out) {
    std::fprintf(stderr, "property violated: %s\n  input  (%zu bytes): ", what, in.size());
    for (const char c : in) {
        std::fprintf(stderr, "\\x%02x", static_cast<unsigned char>(c));
    }
    std::fprintf(stderr, "\n  output (%zu bytes): ", out.size());
    for (const char c : out) {
        std::fprintf(stderr, "\\x%02x", static_cast<unsigned char>(c));
    }
    std::fprintf(stderr, "\n");
    std::abort();
}

bool white(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

bool separating(char c) {
    switch (c) {
    case ',':
    case '.':
    case '!':
    case '?':
    case ':':
    case ';':
        return true;
    default:
        return white(c);
    }
}

// Byte-wise search, written out so that it shares nothing with the product.
size_t find_from(std::string_view s, std::string_view what, size_t from) {
    for (size_t i = from; i + what.size() <= s.size(); ++i) {
        size_t k = 0;
        while (k < what.size() && s[i + k] == what[k]) {
            ++k;
        }
        if (k == what.size()) {
            return i;
        }
    }
    return none;
}

// Does `text` start with the lower-case `word` when only A-Z are folded?
bool begins_with_word(std::string_view text, std::string_view word) {
    if (text.size() < word.size()) {
        return false;
    }
    for (size_t i = 0; i < word.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const unsigned char folded = c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c;
        if (folded != static_cast<unsigned char>(word[i])) {
            return false;
        }
    }
    return text.size() == word.size() || separating(text[word.size()]);
}

struct Value {
    bool found = false;
    size_t open = 0;  // offset of the opening quote
    size_t close = 0; // offset of the closing quote
};

Value locate_value(std::string_view json) {
    Value v;
    const size_t key = find_from(json, "\"text\"", 0);
    if (key == none) {
        return v;
    }
    const size_t colon = find_from(json, ":", key);
    if (colon == none) {
        return v;
    }
    const size_t open = find_from(json, "\"", colon);
    if (open == none) {
        return v;
    }
    const size_t close = find_from(json, "\"", open + 1);
    if (close == none) {
        return v;
    }
    v.found = true;
    v.open = open;
    v.close = close;
    return v;
}

void check_strip(std::string_view in) {
    const std::string out = strip_activation_prefix(in);
    const Value v = locate_value(in);
    if (!v.found) {
        if (out != in) {
            fail("without a transcript value the JSON is copied unchanged", in, out);
        }
        return;
    }
    const std::string_view head = in.substr(0, v.open + 1);
    const std::string_view tail = in.substr(v.close);
    const std::string_view old_value = in.substr(v.open + 1, v.close - v.open - 1);
    const std::string_view o = out;
    if (o.size() < head.size() + tail.size() || o.substr(0, head.size()) != head ||
        o.substr(o.size() - tail.size()) != tail) {
        fail("the JSON outside the transcript value is unchanged", in, out);
    }
    const std::string_view new_value = o.substr(head.size(), o.size() - head.size() - tail.size());
    if (new_value.size() > old_value.size() ||
        old_value.substr(old_value.size() - new_value.size()) != new_value) {
        fail("the new transcript is a suffix of the old one", in, out);
    }

    std::string_view text = old_value;
    while (!text.empty() && white(text.front())) {
        text.remove_prefix(1);
    }
    size_t matched = 0;
    for (const std::string_view word : wake_words) {
        if (begins_with_word(text, word)) {
            matched = word.size();
            break;
        }
    }
    const bool removed = new_value.size() < old_value.size();
    if (removed && matched == 0) {
        fail("nothing is removed unless the transcript starts with a wake word", in, out);
    }
    if (matched != 0 && !removed) {
        fail("a wake word at the start of the transcript is removed", in, out);
    }
    if (removed && !new_value.empty() && separating(new_value.front())) {
        fail("the request after a removed wake word starts with no separator", in, out);
    }
    if (removed) {
        // What went is exactly: whitespace, the wake word, separators.
        std::string_view rest = text.substr(matched);
        while (!rest.empty() && separating(rest.front())) {
            rest.remove_prefix(1);
        }
        if (rest != new_value) {
            fail("exactly the wake word and the blanks around it are removed", in, out);
        }
    }
}

void check_empty(std::string_view in) {
    const bool empty = is_text_empty(in);
    if (in.size() <= 9 && !empty) {
        fail("a text of 9 bytes or fewer is empty", in, "");
    }
    bool expected = true;
    const size_t key = find_from(in, "\"text\"", 0);
    const size_t colon = key == none ? none : find_from(in, ":", key);
    if (in.size() > 9 && colon != none) {
        size_t at = colon + 1;
        while (at < in.size() && white(in[at])) {
            ++at;
        }
        // Past the end the text would hold its terminating NUL.
        expected = !(at < in.size() && in[at] == '"' && !(at + 1 < in.size() && in[at + 1] == '"'));
    }
    if (empty != expected) {
        fail(expected ? "the transcript is empty or missing" : "the transcript is not empty", in,
             "");
    }
    if (key == none && !empty) {
        fail("without the \"text\" key the transcript is empty", in, "");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string_view in(reinterpret_cast<const char *>(data), size);
    check_strip(in);
    check_empty(in);
    check_empty(strip_activation_prefix(in));
    // The recognizer hands over a NUL-terminated text: also what precedes the
    // first NUL, as the program sees it.
    if (const size_t nul = in.find('\0'); nul != none) {
        check_strip(in.substr(0, nul));
        check_empty(in.substr(0, nul));
    }
    return 0;
}
