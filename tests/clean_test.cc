// Activation-prefix stripping and the empty-transcript test, on the JSON
// texts the recognizer produces and on hand-made edge cases.
#include "transcript/clean.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace {

// The shape libvosk gives a final result.
std::string result_json(std::string_view transcript) {
    return "{\n  \"text\" : \"" + std::string(transcript) + "\"\n}";
}

// The transcript after stripping, when the input was result_json(transcript).
std::string stripped(std::string_view transcript) {
    const std::string in = result_json(transcript);
    const std::string out = strip_activation_prefix(in);
    const std::string head = "{\n  \"text\" : \"";
    const std::string tail = "\"\n}";
    if (out.size() < head.size() + tail.size() || out.compare(0, head.size(), head) != 0 ||
        out.compare(out.size() - tail.size(), tail.size(), tail) != 0) {
        ADD_FAILURE() << "the JSON around the transcript changed: " << out;
        return out;
    }
    return out.substr(head.size(), out.size() - head.size() - tail.size());
}

constexpr std::string_view separators = " \t\n\v\f\r,.!?:;";

bool is_ascii_letter(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

} // namespace

// ---- Which transcripts lose a prefix ------------------------------------------

TEST(StripActivationPrefix, RemovesALeadingPrefixAndKeepsTheRequest) {
    EXPECT_EQ(stripped("hey tovu what time is it"), "what time is it");
    EXPECT_EQ(stripped("hey tovu open the browser"), "open the browser");
    EXPECT_EQ(stripped("hey siri open the browser"), "open the browser");
    EXPECT_EQ(stripped("tovu open the browser"), "open the browser");
    EXPECT_EQ(stripped("siri open the browser"), "open the browser");
}

TEST(StripActivationPrefix, MatchesThePrefixInAnyCaseAndKeepsTheRequestsCase) {
    EXPECT_EQ(stripped("Hey Tovu, open the browser"), "open the browser");
    EXPECT_EQ(stripped("HEY TOVU Open The Browser"), "Open The Browser");
    EXPECT_EQ(stripped("hEy SiRi. Play MUSIC"), "Play MUSIC");
    EXPECT_EQ(stripped("TOVU stop"), "stop");
}

TEST(StripActivationPrefix, NeedsAWordBoundaryAfterThePrefix) {
    EXPECT_EQ(stripped("tovus are nice"), "tovus are nice");
    EXPECT_EQ(stripped("hey tovus"), "hey tovus");
    EXPECT_EQ(stripped("sirius is a star"), "sirius is a star");
    EXPECT_EQ(stripped("heytovu open"), "heytovu open");
    EXPECT_EQ(stripped("hey tovu-open"), "hey tovu-open");
    EXPECT_EQ(stripped("tovu's turn"), "tovu's turn");
}

TEST(StripActivationPrefix, TheBoundaryTestLetsTheLongerFormsThrough) {
    EXPECT_EQ(stripped("hey sirii play music"), "play music");
    EXPECT_EQ(stripped("hey sirii, play music"), "play music");
    EXPECT_EQ(stripped("sirii play music"), "play music");
    EXPECT_EQ(stripped("Sirii! play music"), "play music");
    EXPECT_EQ(stripped("hey siriii play"), "hey siriii play");
    EXPECT_EQ(stripped("siriii play"), "siriii play");
}

TEST(StripActivationPrefix, OnlyAtTheStartOfTheTranscript) {
    EXPECT_EQ(stripped("please hey tovu"), "please hey tovu");
    EXPECT_EQ(stripped("open tovu now"), "open tovu now");
    EXPECT_EQ(stripped(", hey tovu open"), ", hey tovu open");
    EXPECT_EQ(stripped("hey, tovu open"), "hey, tovu open");
}

TEST(StripActivationPrefix, RemovesOnlyTheFirstPrefix) {
    EXPECT_EQ(stripped("hey tovu hey tovu stop"), "hey tovu stop");
    EXPECT_EQ(stripped("tovu tovu stop"), "tovu stop");
    EXPECT_EQ(stripped("hey siri tovu stop"), "tovu stop");
}

TEST(StripActivationPrefix, LeadingWhitespaceIsKeptUnlessAPrefixIsRemoved) {
    EXPECT_EQ(stripped("  open the browser"), "  open the browser");
    EXPECT_EQ(stripped(" \t open"), " \t open");
    EXPECT_EQ(stripped("  hey tovu open the browser"), "open the browser");
    EXPECT_EQ(stripped("\t\n\v\f\r tovu open"), "open");
}

TEST(StripActivationPrefix, RemovesEverySeparatorAfterThePrefix) {
    for (const char separator : separators) {
        const std::string sep(1, separator);
        EXPECT_EQ(stripped("hey tovu" + sep + "open"), "open") << int(separator);
        EXPECT_EQ(stripped("sirii" + sep + "open"), "open") << int(separator);
    }
    EXPECT_EQ(stripped("hey tovu, . ! ? : ;\t open"), "open");
    EXPECT_EQ(stripped("Hey Tovu... open the browser."), "open the browser.");
}

TEST(StripActivationPrefix, StopsAtTheFirstCharacterThatIsNoSeparator) {
    EXPECT_EQ(stripped("hey tovu, -open"), "-open");
    EXPECT_EQ(stripped("hey tovu, 'open'"), "'open'");
    EXPECT_EQ(stripped("hey tovu open,  the browser "), "open,  the browser ");
}

// Every byte after "tovu": only the separators end the word.
TEST(StripActivationPrefix, ExactlyTheSeparatorsEndTheWord) {
    for (int b = 1; b < 256; ++b) {
        if (b == '"') {
            continue; // would end the transcript
        }
        const char c = static_cast<char>(b);
        const bool separator = separators.find(c) != std::string_view::npos;
        const std::string transcript = "tovu" + std::string(1, c) + "x";
        EXPECT_EQ(stripped(transcript), separator ? "x" : transcript) << "byte " << b;
    }
}

TEST(StripActivationPrefix, APrefixAloneLeavesAnEmptyTranscript) {
    EXPECT_EQ(stripped("hey tovu"), "");
    EXPECT_EQ(stripped("Hey Tovu!!"), "");
    EXPECT_EQ(stripped("  siri, "), "");
    EXPECT_EQ(stripped("sirii"), "");
    EXPECT_EQ(stripped("hey sirii?"), "");
    EXPECT_EQ(strip_activation_prefix("{\"text\": \"tovu\"}"), "{\"text\": \"\"}");
}

TEST(StripActivationPrefix, AnEmptyTranscriptStaysEmpty) {
    EXPECT_EQ(stripped(""), "");
    EXPECT_EQ(stripped("   "), "   ");
}

// ---- Only ASCII letters fold -------------------------------------------------

TEST(StripActivationPrefix, OnlyAsciiLettersFold) {
    // UTF-8 look-alikes and letters that fold to ASCII in other locales.
    for (const char *transcript : {
             "hey tov\xC3\xBA open",                                  // ú
             "hey tov\xC3\x9A open",                                  // Ú
             "\xC5\xA2OVU open",                                      // Ţ
             "hey s\xC4\xB1r\xC4\xB1 open",                           // dotless ı
             "HEY S\xC4\xB0R\xC4\xB0 open",                           // dotted İ
             "\xEF\xBD\x94\xEF\xBD\x8F\xEF\xBD\x96\xEF\xBD\x95 open", // fullwidth tovu
             "h\xC3\xA9y tovu open",                                  // é
         }) {
        EXPECT_EQ(stripped(transcript), transcript);
    }
    // Any byte in place of a letter of "hey tovu" that is not that letter in
    // either case prevents the match.
    const std::string prefix = "hey tovu";
    for (size_t at = 0; at < prefix.size(); ++at) {
        if (prefix[at] == ' ') {
            continue;
        }
        for (int b = 1; b < 256; ++b) {
            const unsigned char c = static_cast<unsigned char>(b);
            if (c == '"' || (is_ascii_letter(c) && (c | 0x20) == prefix[at])) {
                continue;
            }
            std::string transcript = prefix + " open";
            transcript[at] = static_cast<char>(c);
            EXPECT_EQ(stripped(transcript), transcript) << "byte " << b << " at " << at;
        }
    }
}

// ---- Where the transcript is found ---------------------------------------------

TEST(StripActivationPrefix, WithoutAKeyColonOrQuotesTheJsonIsCopied) {
    for (const char *json : {
             "", "{}",
             "{\"partial\" : \"hey tovu open\"}", // no "text" key
             "{\"Text\" : \"hey tovu open\"}",    // the key is case-sensitive
             "{text : \"hey tovu open\"}",        // key without quotes
             "{\"text\" \"hey tovu open\"}",      // no colon
             "{\"text\" : hey tovu open}",        // no opening quote
             "{\"text\" : \"hey tovu open",       // no closing quote
             "hey tovu \"text\" : \"",            // nothing after the opening quote
         }) {
        EXPECT_EQ(strip_activation_prefix(json), json);
    }
}

TEST(StripActivationPrefix, FindsTheValueByPlainTextSearch) {
    // The first "text" in quotes counts, whatever it is in the JSON.
    EXPECT_EQ(strip_activation_prefix("{\"kind\" : \"text\", \"words\" : \"tovu hi\"}"),
              "{\"kind\" : \"text\", \"words\" : \"hi\"}");
    // "context" is not the key.
    EXPECT_EQ(strip_activation_prefix("{\"context\" : \"tovu x\", \"text\" : \"hey tovu go\"}"),
              "{\"context\" : \"tovu x\", \"text\" : \"go\"}");
    // The opening quote is the first after the colon, even far away.
    EXPECT_EQ(strip_activation_prefix("{\"text\" :\n\n\t  \"hey tovu go\"}"),
              "{\"text\" :\n\n\t  \"go\"}");
    EXPECT_EQ(strip_activation_prefix("{\"text\"\n:\"tovu go\"}"), "{\"text\"\n:\"go\"}");
    // Escaped quotes are not recognised: the value ends at the first quote.
    EXPECT_EQ(strip_activation_prefix("{\"text\" : \"hey tovu say \\\"hi\\\" now\"}"),
              "{\"text\" : \"say \\\"hi\\\" now\"}");
}

// ---- The JSON around the transcript ------------------------------------------------

TEST(StripActivationPrefix, KeepsTheJsonOutsideTheTranscriptByteForByte) {
    struct Case {
        std::string before;
        std::string value;
        std::string after;
        std::string cleaned;
    };
    const Case cases[] = {
        {"{\n  \"text\" : \"", "hey tovu open the browser", "\"\n}", "open the browser"},
        {"{\"text\": \"", "tovu open", "\"}", "open"},
        {"{\"result\" : [{\"conf\" : 1.0, \"word\" : \"tovu\"}],\n  \"text\" : \"", "hey tovu go",
         "\"\n}", "go"},
        {"{\n  \"text\" : \"", "Hey Tovu, stop", "\",\n  \"spk\" : [0.5, -1e3],\n  \"x\" : \"\"\n}",
         "stop"},
        {"\xEF\xBB\xBF{ \"sp\xC3\xA9\" : \"\xC8\x9B\xC4\x83\",\r\n\t\"text\"\t:\t\"", "  siri, hi",
         "\"\t}\r\n\xFF\xFE\n", "hi"},
        {"{\"text\" : \"", "hey tovu open", "\"} trailing \"text\" : \"tovu\"\n", "open"},
    };
    for (const Case &c : cases) {
        const std::string json = c.before + c.value + c.after;
        EXPECT_EQ(strip_activation_prefix(json), c.before + c.cleaned + c.after) << json;
        const std::string plain = c.before + "play music" + c.after;
        EXPECT_EQ(strip_activation_prefix(plain), plain);
    }
}

TEST(StripActivationPrefix, KeepsNonAsciiBytesInTheRequest) {
    EXPECT_EQ(stripped("hey tovu deschide \xC8\x99i \xC3\xAEnchide"),
              "deschide \xC8\x99i \xC3\xAEnchide");
    EXPECT_EQ(stripped("tovu \xFF\x80"), "\xFF\x80");
}

// ---- The empty-transcript test -------------------------------------------------------

TEST(IsTextEmpty, EmptyOrMissingTranscripts) {
    EXPECT_TRUE(is_text_empty("{\"text\": \"\"}"));
    EXPECT_TRUE(is_text_empty(result_json("")));
    EXPECT_TRUE(is_text_empty("{\"partial\" : \"hello there\"}")); // no "text" key
    EXPECT_TRUE(is_text_empty("{\"text\" \"hello there\"}"));      // no colon
    EXPECT_TRUE(is_text_empty("{\"text\" : hello}"));              // no quote after the colon
    EXPECT_TRUE(is_text_empty("{\"text\" : 42, \"x\" : \"y\"}"));
    EXPECT_TRUE(is_text_empty("{\"text\" :       "));
    EXPECT_TRUE(is_text_empty("{\"text\" :\n\t\v\f\r \"\"}"));
}

TEST(IsTextEmpty, TranscriptsWithAtLeastOneCharacter) {
    EXPECT_FALSE(is_text_empty("{\"text\": \" \"}")); // one space is not empty
    EXPECT_FALSE(is_text_empty(result_json("open the browser")));
    EXPECT_FALSE(is_text_empty("{\"text\" :\n\t\v\f\r \"x\"}"));
    EXPECT_FALSE(is_text_empty("{\"text\":\"\xC3\xA9\"}"));
    // Only the byte after the opening quote is looked at: the end of the text
    // there is not a quote.
    EXPECT_FALSE(is_text_empty("{\"text\" : \""));
    EXPECT_FALSE(is_text_empty("{\"text\" : \"x"));
    // The first "text" in quotes decides.
    EXPECT_FALSE(is_text_empty("{\"text\" : \"a\", \"text\" : \"\"}"));
    EXPECT_TRUE(is_text_empty("{\"text\" : \"\", \"text\" : \"a\"}"));
}

TEST(IsTextEmpty, TextsOfNineBytesOrFewerAreEmpty) {
    EXPECT_TRUE(is_text_empty(""));
    EXPECT_TRUE(is_text_empty("\"text\":\"a"));   // 9 bytes
    EXPECT_FALSE(is_text_empty("\"text\":\"ab")); // 10 bytes
    EXPECT_TRUE(is_text_empty("{}"));
    EXPECT_TRUE(is_text_empty("         "));
}

TEST(IsTextEmpty, AgreesWithStripping) {
    EXPECT_TRUE(is_text_empty(strip_activation_prefix(result_json("hey tovu"))));
    EXPECT_TRUE(is_text_empty(strip_activation_prefix(result_json("  Tovu!"))));
    EXPECT_FALSE(is_text_empty(strip_activation_prefix(result_json("hey tovu x"))));
    EXPECT_FALSE(is_text_empty(strip_activation_prefix(result_json("tovus"))));
}
