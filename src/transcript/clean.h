// Transcript cleaning: the wake phrase off the recognizer's JSON result.
//
// The transcript is the string value after the first "text" key, found by
// plain text search.
#pragma once

#include <string>
#include <string_view>

// The JSON with a leading activation prefix ("hey tovu", "hey siri",
// "hey sirii", "tovu", "siri", "sirii", any case, followed by the end of the
// text, whitespace or one of , . ! ? : ;) removed from the transcript,
// together with the whitespace before it and the separators after it.
// Everything else is kept byte for byte; without a prefix, an unchanged copy.
std::string strip_activation_prefix(std::string_view json);

// True when the transcript is empty or cannot be found, or the JSON is
// shorter than 10 bytes.
bool is_text_empty(std::string_view json);
