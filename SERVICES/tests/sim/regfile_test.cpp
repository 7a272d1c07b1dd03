// The regedit text of the store: what goes in comes back byte for byte,
// what a person may write by hand is read, and damage is refused.
#include "sim_test_support.h"

using namespace quillmar::sim;
using namespace simtest;

namespace {

struct RoundTrip {
    const char *label;
    std::string name;
    DWORD type;
    std::string data;
    const char *line; // expected value line, or nullptr when not checked
    // The value is read from this line of a file, and a rewrite for another
    // value must write it back as it was (line); nullptr: set by a call.
    const char *read = nullptr;
};

class RegRoundTrip : public ::testing::TestWithParam<RoundTrip> {};

TEST_P(RegRoundTrip, ValueComesBackByteForByte) {
    const RoundTrip &c = GetParam();
    RegDoc doc;
    TextError err;
    if (c.read) {
        ASSERT_TRUE(ParseRegText(std::string(kRegHeader) +
                                     "\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor]\n" + c.read + "\n",
                                 doc, err))
            << err.what;
        doc.FindKey({"SOFTWARE", "Vendor"})->SetValue("Other", REG_SZ, Sz("changed"));
    } else {
        doc.EnsureKey({"SOFTWARE", "Vendor"}, 1, nullptr).SetValue(c.name, c.type, c.data);
    }
    std::string text = FormatRegText(doc);
    if (c.line) {
        EXPECT_NE(text.find(std::string("\n") + c.line + "\n"), std::string::npos) << text;
    }

    RegDoc back;
    ASSERT_TRUE(ParseRegText(text, back, err)) << err.line << ": " << err.what << "\n" << text;
    const RegKey *key = back.FindKey({"software", "VENDOR"});
    ASSERT_NE(key, nullptr);
    const RegValue *v = key->FindValue(c.name);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->type, c.type);
    EXPECT_EQ(v->data, c.data);
    EXPECT_EQ(FormatRegText(back), text) << "a second write must not drift";
}

INSTANTIATE_TEST_SUITE_P(
    Values, RegRoundTrip,
    ::testing::Values(
        RoundTrip{"plain", "Name", REG_SZ, Sz("hello"), "\"Name\"=\"hello\""},
        RoundTrip{"quotes_backslashes", "Q\"\\", REG_SZ, Sz("C:\\a \"b\"\\"),
                  "\"Q\\\"\\\\\"=\"C:\\\\a \\\"b\\\"\\\\\""},
        RoundTrip{"empty_string", "E", REG_SZ, Sz(""), "\"E\"=\"\""},
        RoundTrip{"default_value", "", REG_SZ, Sz("d"), "@=\"d\""},
        RoundTrip{"newline", "N", REG_SZ, Sz("a\nb"), "\"N\"=hex(1):61,00,0a,00,62,00,00,00"},
        RoundTrip{"carriage_return", "R", REG_SZ, Sz("a\rb"), nullptr},
        RoundTrip{"inner_nul", "Z", REG_SZ, std::string("a\0b\0", 4), nullptr},
        RoundTrip{"no_terminator", "T", REG_SZ, "abc", "\"T\"=hex(1):61,00,62,00,63,00"},
        RoundTrip{"zero_length", "L", REG_SZ, "", "\"L\"=hex(1):"},
        RoundTrip{"non_ascii_utf8", "U", REG_SZ, Sz("caf\xC3\xA9 \xE2\x82\xAC"), nullptr},
        RoundTrip{"high_bytes", "H", REG_SZ, Sz("\xFF\x80\x7F"), nullptr},
        RoundTrip{"expand_sz", "ImagePath", REG_EXPAND_SZ, Sz("C:\\x"),
                  "\"ImagePath\"=hex(2):43,00,3a,00,5c,00,78,00,00,00"},
        RoundTrip{"multi_sz", "M", REG_MULTI_SZ, std::string("a\0bc\0\0", 6), nullptr},
        RoundTrip{"dword", "D", REG_DWORD, Dword(0xabcd), "\"D\"=dword:0000abcd"},
        RoundTrip{"short_dword", "S", REG_DWORD, std::string("\1\2\3"), "\"S\"=hex(4):01,02,03"},
        RoundTrip{"binary", "B", REG_BINARY, std::string("\0\xff\x10", 3), "\"B\"=hex:00,ff,10"},
        RoundTrip{"empty_binary", "B0", REG_BINARY, "", "\"B0\"=hex:"},
        RoundTrip{"odd_type", "O", 0x12345, std::string("\7"), "\"O\"=hex(12345):07"},
        RoundTrip{"million_chars", "Big", REG_SZ, Sz(std::string(1000000, 'x')), nullptr},
        // Seeded by hand: U+0100 and 'A', which the bytes of data alone would
        // write back as other text; a Latin-1 letter and a plain letter that
        // a quoted string would read otherwise, or write otherwise.
        RoundTrip{"read_wide_expand_sz", "W", REG_EXPAND_SZ, Sz("\xC4\x80\x41"),
                  "\"W\"=hex(2):00,01,41,00,00,00", "\"W\"=hex(2):00,01,41,00,00,00"},
        RoundTrip{"read_wide_multi_sz", "M", REG_MULTI_SZ, std::string("\xC4\x80\0\0", 4),
                  "\"M\"=hex(7):00,01,00,00,00,00", "\"M\"=hex(7):00,01,00,00,00,00"},
        RoundTrip{"read_latin1_sz", "L", REG_SZ, Sz("\xE9"), "\"L\"=hex(1):e9,00,00,00",
                  "\"L\"=hex(1):e9,00,00,00"},
        RoundTrip{"read_hex_sz", "A", REG_SZ, Sz("A"), "\"A\"=hex(1):41,00,00,00",
                  "\"A\"=hex(1):41,00,00,00"},
        RoundTrip{"read_euro_from_an_export", "E", REG_EXPAND_SZ, Sz("\xE2\x82\xAC"),
                  "\"E\"=hex(2):ac,20,00,00", "\"E\"=hex(2):ac,20,00,00"},
        // The first and last code point of each length beyond Latin-1, and U+100000: every byte of
        // their UTF-8 differs from what a wrong bound, shift or mask would make.
        RoundTrip{
            "read_utf8_lengths_from_an_export", "P", REG_EXPAND_SZ,
            Sz("\x7F\xC4\x80\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF\xF0\x90\x80\x80\xF4\x80\x80\x80"),
            "\"P\"=hex(2):7f,00,00,01,ff,07,00,08,ff,ff,00,d8,00,dc,c0,db,00,dc,00,00",
            "\"P\"=hex(2):7f,00,00,01,ff,07,00,08,ff,ff,00,d8,00,dc,c0,db,00,dc,00,00"},
        // Two low surrogates are no pair: each stays a unit of its own.
        RoundTrip{"read_low_surrogates_from_an_export", "S", REG_EXPAND_SZ,
                  Sz("\xED\xB0\x80\xED\xB0\x80"), "\"S\"=hex(2):00,dc,00,dc,00,00",
                  "\"S\"=hex(2):00,dc,00,dc,00,00"}),
    ByLabel());

TEST(RegText, ReadsWhatPeopleWriteByHand) {
    const std::string text = "\xEF\xBB\xBFWindows Registry Editor Version 5.00\r\n"
                             "\r\n"
                             "; a comment\r\n"
                             "[hkey_local_machine\\SYSTEM\\CurrentControlSet\\Services\\Svc] \r\n"
                             "\"ImagePath\" = \"C:\\\\svc.exe\"\r\n"
                             "\"Type\"=dword:10 \t\r\n"
                             "\"Blob\"=hex:01,02,\\ \r\n"
                             "  03,FF\r\n"
                             "\"Path\"=hex(2):43,00,\\\r\n"
                             "  00,00\r\n";
    RegDoc doc;
    TextError err;
    ASSERT_TRUE(ParseRegText(text, doc, err)) << err.line << ": " << err.what;
    const RegKey *k = doc.FindKey({"SYSTEM", "CurrentControlSet", "Services", "svc"});
    ASSERT_NE(k, nullptr);
    EXPECT_EQ(k->FindValue("imagepath")->data, Sz("C:\\svc.exe"));
    EXPECT_EQ(k->FindValue("Type")->data, Dword(0x10));
    EXPECT_EQ(k->FindValue("Blob")->data, std::string("\1\2\3\xff"));
    EXPECT_EQ(k->FindValue("Path")->data, Sz("C"));
}

struct Bad {
    const char *label;
    std::string text;
    std::size_t line;
    const char *what;
};

class RegTextRejects : public ::testing::TestWithParam<Bad> {};

TEST_P(RegTextRejects, WithLineAndReason) {
    RegDoc doc;
    TextError err;
    EXPECT_FALSE(ParseRegText(GetParam().text, doc, err));
    EXPECT_EQ(err.line, GetParam().line);
    EXPECT_NE(err.what.find(GetParam().what), std::string::npos) << err.what;
}

const std::string H = "Windows Registry Editor Version 5.00\n\n";

INSTANTIATE_TEST_SUITE_P(
    Damage, RegTextRejects,
    ::testing::Values(
        Bad{"empty", "", 1, "header"}, Bad{"truncated_header", "Windows Registry Ed", 1, "header"},
        Bad{"utf16", "\xFF\xFEW\0", 1, "UTF-16"},
        Bad{"garbage", H + "[HKEY_LOCAL_MACHINE\\SOFTWARE]\nzzz\n", 4, "expected [key]"},
        Bad{"value_first", H + "\"a\"=\"b\"\n", 3, "before the first"},
        Bad{"open_quote", H + "[HKEY_LOCAL_MACHINE\\SOFTWARE]\n\"a\"=\"b\n", 4, "closing quote"},
        Bad{"backslash_at_the_end", H + "[HKEY_LOCAL_MACHINE\\SOFTWARE]\n\"a\"=\"b\\\n", 4,
            "closing quote"},
        Bad{"bad_escape", H + "[HKEY_LOCAL_MACHINE\\SOFTWARE]\n\"a\"=\"C:\\x\"\n", 4, "escape"},
        Bad{"bad_hex", H + "[HKEY_LOCAL_MACHINE\\SOFTWARE]\n\"a\"=hex:0g\n", 4, "hex digits"},
        Bad{"cut_hex", H + "[HKEY_LOCAL_MACHINE\\SOFTWARE]\n\"a\"=hex:01,\n", 4, "hex digits"},
        Bad{"continued_past_the_end", H + "[HKEY_LOCAL_MACHINE\\SOFTWARE]\n\"a\"=hex:01,\\", 4,
            "hex digits"},
        Bad{"odd_wide", H + "[HKEY_LOCAL_MACHINE\\SOFTWARE]\n\"a\"=hex(2):41\n", 4, "even"},
        Bad{"long_dword", H + "[HKEY_LOCAL_MACHINE\\SOFTWARE]\n\"a\"=dword:123456789\n", 4,
            "dword"},
        Bad{"deletion", H + "[-HKEY_LOCAL_MACHINE\\SOFTWARE]\n", 3, "deletions"},
        Bad{"value_deletion", H + "[HKEY_LOCAL_MACHINE\\SOFTWARE]\n\"a\"=-\n", 4, "deletions"},
        Bad{"other_hive", H + "[HKEY_CURRENT_USER\\Software]\n", 3, "HKEY_LOCAL_MACHINE"},
        Bad{"unclosed_key", H + "[HKEY_LOCAL_MACHINE\\SOFTWARE\n", 3, "']'"},
        Bad{"empty_component", H + "[HKEY_LOCAL_MACHINE\\A\\\\B]\n", 3, "key path"},
        Bad{"nul_in_key", H + std::string("[HKEY_LOCAL_MACHINE\\SOFTWARE\\A\0B]\n", 34), 3, "NUL"}),
    ByLabel());

struct Split {
    const char *in;
    LONG rc;
    KeyPath out;
};

TEST(KeyPaths, SplitLikeWindows) {
    const Split cases[] = {
        {nullptr, 0, {}},
        {"", 0, {}},
        {"A\\b", 0, {"A", "b"}},
        {"A\\b\\", 0, {"A", "b"}},
        {"A\\b\\\\", 0, {"A", "b"}},
        {"\\A", ERROR_BAD_PATHNAME, {}},
        {"A\\\\b", ERROR_BAD_PATHNAME, {}},
    };
    for (const Split &c : cases) {
        KeyPath out;
        EXPECT_EQ(SplitSubKey(c.in, out), c.rc) << (c.in ? c.in : "(null)");
        if (!c.rc) {
            EXPECT_EQ(out, c.out) << c.in;
        }
    }
}

TEST(KeyPaths, EachKeyHasOneFile) {
    const std::pair<KeyPath, std::string> cases[] = {
        {{"SOFTWARE"}, "registry/software.reg"},
        {{"Software", "X", "Y"}, "registry/software.reg"},
        {{"SYSTEM", "CurrentControlSet", "Services"}, "registry/system.reg"},
        {{"system", "currentcontrolset", "services", "OrvEvt"}, "registry/services/orvevt.reg"},
        {{"SYSTEM", "CurrentControlSet", "Services", "OrvEvt", "Parameters"},
         "registry/services/orvevt.reg"},
        {{"SYSTEM", "ControlSet001", "Services", "X"}, "registry/system.reg"},
        {{}, ""},
    };
    for (auto &[path, file] : cases)
        EXPECT_EQ(RegFileFor(path), file) << JoinPath(path);
}

TEST(KeyPaths, FileNamesAreSafeAndCaseFolded) {
    const std::pair<std::string, std::string> cases[] = {
        {"MyService", "myservice"},     {"a/b", "a%2Fb"},   {"..", ".."},
        {"with space", "with%20space"}, {"100%", "100%25"}, {"caf\xC3\xA9", "caf%C3%A9"},
        {"Az_09-Za", "az_09-za"},       {"`{", "%60%7B"},   {"/:@[", "%2F%3A%40%5B"},
    };
    for (auto &[name, encoded] : cases)
        EXPECT_EQ(EncodeFileName(name), encoded);

    std::string longA(300, 'a'), longB = longA;
    longB[299] = 'b';
    std::string encA = EncodeFileName(longA);
    EXPECT_LE(encA.size(), 220u);
    EXPECT_NE(encA, EncodeFileName(longB));
    EXPECT_EQ(encA, EncodeFileName(std::string(300, 'A')));
    EXPECT_LE(EncodeFileName(std::string(300, '/')).size(), 220u);
    // The readable prefix ends where an encoding begins, before the hash.
    EXPECT_EQ(encA.substr(0, 151), std::string(150, 'a') + "~");
    EXPECT_EQ(EncodeFileName(std::string(149, 'a') + std::string(151, '/')).substr(0, 150),
              std::string(149, 'a') + "~");
}

} // namespace
