#pragma once
// The scrambled form in which the task list keeps endpoint passwords: the
// password's bytes hidden among random characters so that it cannot be read at a
// glance. There is no key; this is not encryption.

#include <string>

namespace tandemora {

// The two-digit length field of the scrambled form limits a password to 99 bytes.
constexpr int MaxPasswordBytes = 99;

// True when Password fits the scrambled form (at most MaxPasswordBytes bytes).
bool IsStorablePassword(const std::string& Password);

// The scrambled form of Password: 10 random characters, the length in two digits,
// each byte followed by a random character, padded with random characters to 40.
// Raises EConvertError for a password that is not storable.
std::string ScramblePassword(const std::string& Password);

// The password inside a scrambled text. Raises EConvertError when positions 11-12
// hold no number; a text cut short gives the bytes that are there.
std::string UnscramblePassword(const std::string& Scrambled);

} // namespace tandemora
