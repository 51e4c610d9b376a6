// The words the host tools read and print: numbers, lists, hex bytes and quoted words. The
// readers refuse rather than guess, so a typo in a scenario or an option is an error, not a
// different value.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <string_view>
#include <vector>

// A non-negative integer in decimal or 0x hex (a leading 0 is octal, as strtoul reads it),
// at most `max`. No sign, no blanks, nothing after it.
bool ParseUnsignedText(const std::string& text, uint64_t max, uint64_t* value);

// A finite real number, the whole text.
bool ParseFiniteText(const std::string& text, double* value);

// Comma-separated items; the empty text is no items, "a,," three (two of them empty).
std::vector<std::string> SplitCommaList(const std::string& text);

// Hex digit pairs, optionally separated by ':', ',' or blanks. False with the reason when a
// character is not a hex digit or the digits are odd in number.
bool ParseHexBytesText(const std::string& text, std::vector<uint8_t>* bytes, std::string* reason);

// Lower-case hex digit pairs with nothing between them.
std::string HexText(const std::vector<uint8_t>& bytes);

// The word as a line of words writes it: in double quotes when it is empty or holds a blank
// or a '#', so that reading the line back gives the same words.
std::string QuoteWord(const std::string& word);

// Splits one line into words: blanks separate, '#' outside quotes starts a comment, double
// quotes open and close anywhere inside a word ("a b"c is `a bc`) and there are no escapes.
// False with the reason on an unterminated quote or a control character other than a tab.
bool SplitQuotedWords(std::string_view line, std::vector<std::string>* words, std::string* reason);
