#pragma once

// Classification and case of single units (ASCII only: a unit above 127 is never a letter, digit
// or space), and numbers, four-character codes and hexadecimal data as text and back.

#include "UString.h"

#include <cstdint>

// 0 hexadecimal; any other value decimal.
using NumFormat = int;

bool IsASCII(unsigned short u);
unsigned short ToLower(unsigned short u);
unsigned short ToUpper(unsigned short u);
bool IsLower(unsigned short u);
bool IsSpace(unsigned short u);
bool IsDigit(unsigned short u);
bool IsXDigit(unsigned short u);

void ToUpper(UString& s);
bool IsNumeric(const UString& s);
bool IsStringWhitespace(const UString& s);

// The code's bytes from the most significant down, one unit each; a 0 byte ends the text.
UString OSTypeToUString(unsigned int code);
// The low 8 bits of the first four units, the first most significant; missing units count as 0.
unsigned int UStringToOSType(const UString& s);

UString NumToUString(long n, NumFormat format);
// As an input stream extracts a long in that base: 0 without a number, saturated out of range.
long UStringToNum(const UString& s, NumFormat format);
// Six significant digits, as an output stream formats a double by default.
UString DoubleToUString(double d);
// "%.*f" with 6 decimals when d has a fractional part, none otherwise.
UString DoubleToUStringPrecise(double d);
double UStringToDouble(const UString& s);
// The low 32 bits of the first run of decimal digits; 0 without one.
int32_t FindNumberInString(const UString& s);
long StrToL(const UString& s, UString* rest, int base);
double StrToD(const UString& s, UString* rest);
// Writes the bytes that the text's hexadecimal digits spell, at most `size` of them. A unit counts
// by its low 8 bits; any other unit is skipped, also between the two digits of a byte, and a final
// single digit is dropped.
void UStringToRawData(const UString& s, unsigned char* out, unsigned int size);
