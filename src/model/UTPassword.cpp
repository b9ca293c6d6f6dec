#include "model/UTPassword.h"

#include "platform/Exceptions.h"

#include <algorithm>
#include <random>

namespace tandemora {

namespace {

constexpr size_t kPrefixLength = 10;
constexpr size_t kMinimumLength = 40;

// One random character from "!" to "~". The form never holds "<": a draw of "<"
// becomes "=", which therefore comes twice as often as any other character.
char RandomCharacter() {
    thread_local std::mt19937 generator{std::random_device{}()};
    std::uniform_int_distribution<int> draw(0, 93);
    int r = draw(generator);
    if (r == 27) {
        r = 28;
    }
    return static_cast<char>(r + 33);
}

} // namespace

bool IsStorablePassword(const std::string& Password) {
    return Password.size() <= static_cast<size_t>(MaxPasswordBytes);
}

std::string ScramblePassword(const std::string& Password) {
    if (!IsStorablePassword(Password)) {
        throw EConvertError("A password can hold at most " + std::to_string(MaxPasswordBytes) + " bytes.");
    }
    std::string scrambled;
    scrambled.reserve(std::max(kMinimumLength, kPrefixLength + 2 + 2 * Password.size()));
    for (size_t i = 0; i < kPrefixLength; ++i) {
        scrambled += RandomCharacter();
    }
    if (Password.size() <= 9) {
        scrambled += '0';
    }
    scrambled += std::to_string(Password.size());
    for (char byte : Password) {
        scrambled += byte;
        scrambled += RandomCharacter();
    }
    while (scrambled.size() < kMinimumLength) {
        scrambled += RandomCharacter();
    }
    return scrambled;
}

std::string UnscramblePassword(const std::string& Scrambled) {
    // Positions 11 and 12 (as many of them as the text has) hold the length.
    std::string field = Scrambled.size() > kPrefixLength ? Scrambled.substr(kPrefixLength, 2) : std::string();
    size_t digits = field.empty() || (field[0] != '+' && field[0] != '-') ? 0 : 1;
    if (digits == field.size()) {
        throw EConvertError("'" + field + "' is not a valid integer value");
    }
    int length = 0;
    for (size_t i = digits; i < field.size(); ++i) {
        if (field[i] < '0' || field[i] > '9') {
            throw EConvertError("'" + field + "' is not a valid integer value");
        }
        length = length * 10 + (field[i] - '0');
    }
    if (field[0] == '-') {
        length = -length;
    }
    std::string password;
    // The k-th byte stands at position 11 + 2k, counted from 1.
    for (int k = 1; k <= length; ++k) {
        size_t index = kPrefixLength + 2 * static_cast<size_t>(k);
        if (index >= Scrambled.size()) {
            break;
        }
        password += Scrambled[index];
    }
    return password;
}

} // namespace tandemora
