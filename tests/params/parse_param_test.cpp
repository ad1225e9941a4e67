// Validation of parameter texts: every result code, exact stored bytes, and the rule that a
// refused text leaves the destination exactly as it was.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "param_record.hpp"

namespace {

param_record make_record(const std::string& name, const std::string& pmk, const std::string& password,
                         const std::string& hostname) {
    param_record r{};
    memcpy(r.name, name.data(), name.size());
    memcpy(r.pmk, pmk.data(), pmk.size());
    memcpy(r.password, password.data(), password.size());
    memcpy(r.hostname, hostname.data(), hostname.size());
    return r;
}

std::string text_of(const std::string& name, const std::string& pmk, const std::string& password,
                    const std::string& hostname) {
    return "name:" + name + " pmk:" + pmk + " password:" + password + " hostname:" + hostname;
}

bool same_bytes(const param_record& a, const param_record& b) { return memcmp(&a, &b, sizeof(a)) == 0; }

param_record poisoned() {
    param_record r;
    memset(&r, 0xAB, sizeof(r));
    return r;
}

// Runs parse_param on a poisoned destination; on any error the poison must be intact.
int parse(const std::string& text, bool escape, param_record* out = nullptr) {
    param_record dest = poisoned();
    int rc = parse_param(text.c_str(), &dest, escape);
    if (rc != 0) {
        EXPECT_TRUE(same_bytes(dest, poisoned())) << "destination written on error " << rc;
    }
    if (out != nullptr) *out = dest;
    return rc;
}

const std::string pmk32(32, 'k');
const std::string valid = text_of("cam", pmk32, "secret12", "cam.local");

}  // namespace

TEST(ParseParamAccepts, StoredFormExactBytes) {
    for (bool escape : {false, true}) {
        param_record r;
        ASSERT_EQ(parse(valid, escape, &r), 0);
        EXPECT_TRUE(same_bytes(r, make_record("cam", pmk32, "secret12", "cam.local")));
    }
}

TEST(ParseParamAccepts, EmptyPmkAndPasswordItems) {
    param_record r;
    ASSERT_EQ(parse("name:cam pmk: password: hostname:cam.local", false, &r), 0);
    EXPECT_TRUE(same_bytes(r, make_record("cam", "", "", "cam.local")));
    ASSERT_EQ(parse("name:cam pmk: password:secret12 hostname:cam.local", true, &r), 0);
    EXPECT_TRUE(same_bytes(r, make_record("cam", "", "secret12", "cam.local")));
}

TEST(ParseParamAccepts, KeysInAnyCaseAndOrderValuesKeepCase) {
    param_record r;
    ASSERT_EQ(parse("HOSTNAME:My-Cam.local PassWord:AbCdEfGh PMK:" + pmk32 + " Name:MyCam", false, &r), 0);
    EXPECT_TRUE(same_bytes(r, make_record("MyCam", pmk32, "AbCdEfGh", "My-Cam.local")));
}

TEST(ParseParamAccepts, BlankRunsAroundAndBetweenItems) {
    param_record r;
    ASSERT_EQ(parse("   name:cam    pmk:   password:  hostname:cam.local   ", false, &r), 0);
    EXPECT_TRUE(same_bytes(r, make_record("cam", "", "", "cam.local")));
}

TEST(ParseParamAccepts, FurtherColonsBelongToTheValue) {
    param_record r;
    ASSERT_EQ(parse(text_of("cam", "", "a:b:c:d:", "cam.local"), false, &r), 0);
    EXPECT_STREQ(r.password, "a:b:c:d:");
}

TEST(ParseParamAccepts, RepeatedKeyLaterWinsAndMissingFieldStaysEmpty) {
    param_record r;
    ASSERT_EQ(parse("name:longername pmk: name:ab password:", false, &r), 0);
    // The earlier, longer value leaves nothing behind the later one.
    EXPECT_TRUE(same_bytes(r, make_record("ab", "", "", "")));
}

TEST(ParseParamAccepts, TabIsPartOfAValueNotASeparator) {
    param_record r;
    ASSERT_EQ(parse(text_of("cam", "", "pass\tword", "cam.local"), false, &r), 0);
    EXPECT_STREQ(r.password, "pass\tword");
    EXPECT_EQ(parse(text_of("ca\tm", "", "", "cam.local"), false), -7);
}

TEST(ParseParamFormat, MissingTextOrDestination) {
    param_record r{};
    EXPECT_EQ(parse_param(nullptr, &r, false), -1);
    EXPECT_EQ(parse_param(valid.c_str(), nullptr, true), -1);
}

TEST(ParseParamFormat, ItemWithoutColonOrUnknownKey) {
    EXPECT_EQ(parse("name:cam pmk password: hostname:cam.local", false), -1);
    EXPECT_EQ(parse("name:cam pmk: password: host:cam.local", true), -1);
    EXPECT_EQ(parse("name:cam pmk: password: hostnamex:cam.local", false), -1);
    EXPECT_EQ(parse(":cam pmk: password: hostname:cam.local", false), -1);
    // Items are handled in order: a bad fifth item is reported before the count.
    EXPECT_EQ(parse(valid + " extra", false), -1);
}

TEST(ParseParamFormat, ItemCountMustBeFour) {
    EXPECT_EQ(parse("", false), -2);
    EXPECT_EQ(parse("     ", true), -2);
    EXPECT_EQ(parse("name:cam pmk: password:", false), -2);
    EXPECT_EQ(parse("name:cam", true), -2);
    EXPECT_EQ(parse(valid + " name:cam", false), -2);
    EXPECT_EQ(parse("name:cam pmk: password: name:cam2", false), 0);
}

TEST(ParseParamFormat, FirstFailingItemDecides) {
    EXPECT_EQ(parse("name:bad! pmk:short password: hostname:-x.local", false), -7);
    EXPECT_EQ(parse("pmk:short name:bad! password: hostname:-x.local", false), -3);
    EXPECT_EQ(parse("hostname:-x.local pmk:short", false), -5);
}

TEST(ParseParamPmk, LengthMustBeExactly32) {
    EXPECT_EQ(parse(text_of("cam", std::string(31, 'k'), "", "cam.local"), false), -3);
    EXPECT_EQ(parse(text_of("cam", std::string(33, 'k'), "", "cam.local"), true), -3);
    EXPECT_EQ(parse(text_of("cam", std::string(32, '!'), "", "cam.local"), true), 0);
}

TEST(ParseParamPmk, EscapedPmkIsMeasuredAsWritten) {
    param_record r;
    std::string quotes(32, '"');
    ASSERT_EQ(parse(text_of("cam", quotes, "", "cam.local"), true, &r), 0);
    std::string escaped;
    for (int i = 0; i < 32; ++i) escaped += "\\\"";
    EXPECT_EQ(std::string(r.pmk), escaped);
    // 34 quotes escape to 68 characters: they fit, and the length rule refuses them.
    EXPECT_EQ(parse(text_of("cam", std::string(34, '"'), "", "cam.local"), true), -3);
    // 35 do not fit the 69-byte field.
    EXPECT_EQ(parse(text_of("cam", std::string(35, '"'), "", "cam.local"), true), -6);
    // Without escaping a long value is cut but still measured as written.
    EXPECT_EQ(parse(text_of("cam", std::string(100, 'k'), "", "cam.local"), false), -3);
}

TEST(ParseParamPassword, LengthBounds) {
    for (bool escape : {false, true}) {
        EXPECT_EQ(parse(text_of("cam", "", std::string(7, 'p'), "cam.local"), escape), -4);
        EXPECT_EQ(parse(text_of("cam", "", std::string(64, 'p'), "cam.local"), escape), -4);
        EXPECT_EQ(parse(text_of("cam", "", std::string(8, 'p'), "cam.local"), escape), 0);
        EXPECT_EQ(parse(text_of("cam", "", std::string(63, 'p'), "cam.local"), escape), 0);
    }
    // Cut to 135 characters first, then refused for its length.
    EXPECT_EQ(parse(text_of("cam", "", std::string(300, 'p'), "cam.local"), false), -4);
}

TEST(ParseParamPassword, LengthIsThePlainLengthInBothModes) {
    // What the user typed counts, not its escaped copy: the shell stores the plain value and
    // start-up measures that.
    struct {
        std::string password;
        int code;
        std::string escaped;
    } cases[] = {
        {std::string(31, 'p') + "\"" + std::string(31, 'p'), 0, std::string(31, 'p') + "\\\"" + std::string(31, 'p')},
        {std::string(62, 'p') + "\\", 0, std::string(62, 'p') + "\\\\"},
        {std::string(63, '"'), 0, [] { std::string e; for (int i = 0; i < 63; ++i) e += "\\\""; return e; }()},
        {"p\\ssw0r", -4, ""},
        {"\"\"\"\"", -4, ""},
        {"ab\"c\\d1", -4, ""},
        {std::string(63, 'p') + "\"", -4, ""},
    };
    for (const auto& c : cases) {
        param_record r;
        EXPECT_EQ(parse(text_of("cam", "", c.password, "cam.local"), true, &r), c.code) << c.password;
        if (c.code == 0) {
            EXPECT_EQ(std::string(r.password), c.escaped);
        }
        EXPECT_EQ(parse(text_of("cam", "", c.password, "cam.local"), false, &r), c.code) << c.password;
        if (c.code == 0) {
            EXPECT_EQ(std::string(r.password), c.password);
        }
    }
}

TEST(ParseParamHostname, AcceptedForms) {
    param_record r;
    EXPECT_EQ(parse(text_of("cam", "", "", "cam.local"), false), 0);
    EXPECT_EQ(parse(text_of("cam", "", "", "a.local"), false), 0);
    EXPECT_EQ(parse(text_of("cam", "", "", "a-b-9.local"), true), 0);
    std::string longest = std::string(250, 'h') + ".local";
    ASSERT_EQ(parse(text_of("cam", "", "", longest), false, &r), 0);
    EXPECT_EQ(std::string(r.hostname), longest);
}

TEST(ParseParamHostname, RefusedForms) {
    for (bool escape : {false, true}) {
        for (const char* bad : {"my.cam.local", "-cam.local", "cam-.local", ".local", "cam.LOCAL", "",
                                "cam.localx", "cam_x.local", "cam", "ca\"m.local"}) {
            EXPECT_EQ(parse(text_of("cam", "", "", bad), escape), -5) << bad;
        }
        EXPECT_EQ(parse(text_of("cam", "", "", std::string(251, 'h') + ".local"), escape), -5);
        EXPECT_EQ(parse(text_of("cam", "", "", std::string("caf\xE9") + ".local"), escape), -5);
    }
}

TEST(ParseParamHostname, OverlongValueOverflowsOrIsCut) {
    std::string h266 = std::string(260, 'h') + ".local";
    EXPECT_EQ(parse(text_of("cam", "", "", h266), true), -6);
    EXPECT_EQ(parse(text_of("cam", "", "", h266), false), -5);
    // 265 characters still fit the escaped field and fail on length only.
    EXPECT_EQ(parse(text_of("cam", "", "", std::string(259, 'h') + ".local"), true), -5);
}

TEST(ParseParamHostname, MissingItemUnlessAnotherKeyRepeats) {
    EXPECT_EQ(parse("name:cam pmk: password:", false), -2);
    // Start-up still reads such a stored record; an AT command may not write one.
    param_record r;
    ASSERT_EQ(parse("name:cam pmk: password: pmk:", false, &r), 0);
    EXPECT_STREQ(r.hostname, "");
}

TEST(ParseParamFormat, EscapingModeWantsEachKeyOnce) {
    for (const char* text : {"name:Cam name:Cam2 pmk: password:secret123", "pmk: pmk: password:secret123 hostname:cam.local",
                             "name:cam pmk: password: pmk:", "NAME:a Name:b name:c name:d"}) {
        EXPECT_EQ(parse(text, true), -2) << text;
        EXPECT_EQ(parse(text, false), 0) << text;
    }
    // A bad value is reported where it stands, before the keys are counted.
    EXPECT_EQ(parse("name:Cam name:C!m pmk: password:", true), -7);
}

TEST(ParseParamName, ContentAndLength) {
    param_record r;
    for (bool escape : {false, true}) {
        EXPECT_EQ(parse(text_of("", "", "", "cam.local"), escape), -7);
        EXPECT_EQ(parse(text_of(std::string(256, 'n'), "", "", "cam.local"), escape), -7);
        EXPECT_EQ(parse(text_of("a/b", "", "", "cam.local"), escape), -7);
        EXPECT_EQ(parse(text_of("caf\xC3\xA9", "", "", "cam.local"), escape), -7);
        EXPECT_EQ(parse(text_of("ca\"m", "", "", "cam.local"), escape), -7);
        ASSERT_EQ(parse(text_of(std::string(255, 'n'), "", "", "cam.local"), escape, &r), 0);
        EXPECT_EQ(std::string(r.name), std::string(255, 'n'));
        ASSERT_EQ(parse(text_of("Cam_01.x-Y", "", "", "cam.local"), escape, &r), 0);
        EXPECT_STREQ(r.name, "Cam_01.x-Y");
    }
    // Escaping: past the field it is an overflow, not a character error.
    EXPECT_EQ(parse(text_of(std::string(261, 'n'), "", "", "cam.local"), true), -6);
    EXPECT_EQ(parse(text_of(std::string(261, 'n'), "", "", "cam.local"), false), -7);
}

TEST(ParseParamErrors, DestinationUntouchedForEveryCode) {
    const std::string bad_texts[] = {
        "name:cam pmk password: hostname:cam.local",             // -1
        "name:cam",                                               // -2
        text_of("cam", "k", "", "cam.local"),                     // -3
        text_of("cam", "", "short", "cam.local"),                 // -4
        text_of("cam", "", "", "cam"),                            // -5
        text_of("cam", "", "", std::string(300, 'h') + ".local"), // -6 when escaping
        text_of("c!m", "", "", "cam.local"),                      // -7
    };
    int expected[] = {-1, -2, -3, -4, -5, -6, -7};
    for (size_t i = 0; i < 7; ++i) {
        param_record dest = make_record("old", pmk32, "oldpass1", "old.local");
        param_record before = dest;
        EXPECT_EQ(parse_param(bad_texts[i].c_str(), &dest, true), expected[i]);
        EXPECT_TRUE(same_bytes(dest, before));
    }
}

TEST(EscapeCopy, FieldBoundaries) {
    char field[5];
    EXPECT_EQ(escape_copy("abcd", 4, field, sizeof(field)), 0);
    EXPECT_EQ(std::string(field, sizeof(field)), std::string("abcd\0", 5));
    EXPECT_EQ(escape_copy("abcde", 5, field, sizeof(field)), -6);
    EXPECT_EQ(escape_copy("ab\"", 3, field, sizeof(field)), 0);
    EXPECT_EQ(std::string(field, sizeof(field)), std::string("ab\\\"\0", 5));
    EXPECT_EQ(escape_copy("abc\"", 4, field, sizeof(field)), -6);
    EXPECT_EQ(escape_copy("abc\\", 4, field, sizeof(field)), -6);
    EXPECT_EQ(escape_copy("", 0, field, sizeof(field)), 0);
    EXPECT_EQ(std::string(field, sizeof(field)), std::string(5, '\0'));
    // Only the quote and the backslash are escaped; the shell's other specials are left to
    // the command builder.
    EXPECT_EQ(escape_copy("$`'", 3, field, sizeof(field)), 0);
    EXPECT_STREQ(field, "$`'");
}
