#include "model/UTPassword.h"
#include "platform/Exceptions.h"

#include <gtest/gtest.h>
#include <map>
#include <string>

namespace {

using namespace tandemora;

// A password of Length bytes that uses awkward bytes too: blanks, "<", quotes and
// the two bytes of a UTF-8 letter.
std::string MakePassword(size_t length) {
    const std::string pool = "pA5 <\"&\xC3\x84~!";
    std::string password;
    for (size_t i = 0; i < length; ++i) {
        password += pool[i % pool.size()];
    }
    return password;
}

bool IsRandomCharacter(char c) {
    return c >= 33 && c <= 126 && c != '<';
}

TEST(ScramblePassword, LayoutOfTheScrambledForm) {
    struct Case {
        size_t length;
        size_t scrambledLength;
        const char* lengthField;
    };
    const Case cases[] = {
        {0, 40, "00"},
        {9, 40, "09"},
        {20, 52, "20"},
        {99, 210, "99"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.length);
        std::string password = MakePassword(c.length);
        std::string scrambled = ScramblePassword(password);
        ASSERT_EQ(scrambled.size(), c.scrambledLength);
        // Positions counted from 1: 11-12 the length, 11 + 2k the k-th byte.
        EXPECT_EQ(scrambled.substr(10, 2), c.lengthField);
        for (size_t k = 1; k <= c.length; ++k) {
            EXPECT_EQ(scrambled[10 + 2 * k], password[k - 1]) << "byte " << k;
        }
        // Every other character is a random one.
        for (size_t pos = 1; pos <= scrambled.size(); ++pos) {
            bool passwordByte = pos >= 13 && pos <= 11 + 2 * c.length && pos % 2 == 1;
            bool lengthField = pos == 11 || pos == 12;
            if (!passwordByte && !lengthField) {
                EXPECT_TRUE(IsRandomCharacter(scrambled[pos - 1])) << "position " << pos;
            }
        }
        EXPECT_EQ(UnscramblePassword(scrambled), password);
    }
}

TEST(ScramblePassword, TwoScramblesDifferAndBothUnscramble) {
    for (const std::string& password : {std::string(), std::string("secret"), MakePassword(30)}) {
        std::string first = ScramblePassword(password);
        std::string second = ScramblePassword(password);
        EXPECT_NE(first, second) << password;
        EXPECT_EQ(UnscramblePassword(first), password);
        EXPECT_EQ(UnscramblePassword(second), password);
    }
}

TEST(ScramblePassword, RandomCharactersCoverTheRangeWithoutLessThan) {
    // 80 000 draws: each of the 93 characters is expected about 850 times and "="
    // about 1 700 (it stands in for "<"); the bounds leave over twelve deviations,
    // so a fair generator never fails the test by chance.
    std::map<char, int> counts;
    for (int i = 0; i < 2000; ++i) {
        for (char c : ScramblePassword("")) {
            ++counts[c];
        }
    }
    counts['0'] -= 4000; // the "00" of each length field
    EXPECT_EQ(counts.count('<'), 0u);
    for (int c = 33; c <= 126; ++c) {
        if (c != '<') {
            EXPECT_GT(counts[static_cast<char>(c)], 500) << static_cast<char>(c);
        }
    }
    EXPECT_GT(counts['='], 1275);
    EXPECT_LT(counts['>'], 1275);
}

TEST(ScramblePassword, RefusesPasswordsOverTheLimit) {
    EXPECT_TRUE(IsStorablePassword(std::string(99, 'x')));
    std::string fiftyLetters;
    for (int i = 0; i < 50; ++i) {
        fiftyLetters += "\xC3\x84"; // 50 characters, 100 bytes
    }
    EXPECT_FALSE(IsStorablePassword(fiftyLetters));
    EXPECT_NO_THROW(ScramblePassword(std::string(99, 'x')));
    try {
        ScramblePassword(std::string(100, 'x'));
        ADD_FAILURE() << "a password of 100 bytes was scrambled";
    } catch (const EConvertError& e) {
        EXPECT_STREQ(e.what(), "A password can hold at most 99 bytes.");
    }
}

TEST(UnscramblePassword, ReadsWhatIsThereAndRefusesALengthThatIsNoNumber) {
    const std::pair<std::string, std::string> cases[] = {
        {"0123456789"
         "02"
         "x?y?zzzzzz",
         "xy"}, // what follows the password is ignored
        {"0123456789"
         "05"
         "a1b",
         "ab"}, // cut short: what is there
        {"0123456789"
         "-1"
         "abcdef",
         ""}, // a negative length gives nothing
    };
    for (const auto& [scrambled, password] : cases) {
        EXPECT_EQ(UnscramblePassword(scrambled), password) << scrambled;
    }
    for (const std::string scrambled : {"", "0123456789", "0123456789ab", "01234567891a", "0123456789 5x"}) {
        EXPECT_THROW(UnscramblePassword(scrambled), EConvertError) << "[" << scrambled << "]";
    }
}

} // namespace
