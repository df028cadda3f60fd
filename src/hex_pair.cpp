// Two hex digits to one byte.
#include "bitmend.h"

// Each code's digit value, 0 to 15, or -1 for a character that is no hex
// digit: one load, where three range tests cost a dozen instructions a byte.
struct digit_values {
	int8_t of[256];
};

static constexpr digit_values digit = [] {
	digit_values values = {};
	for (int code = 0; code < 256; code++)
		values.of[code] = code >= '0' && code <= '9'   ? code - '0'
		                  : code >= 'A' && code <= 'F' ? code - 'A' + 10
		                  : code >= 'a' && code <= 'f' ? code - 'a' + 10
		                                               : -1;
	return values;
}();

int hex_digit(char c)
{
	return digit.of[static_cast<uint8_t>(c)];
}

uint8_t decode_hex_pair(const char *pair)
{
	int high = hex_digit(pair[0]), low = hex_digit(pair[1]);
	return high < 0 || low < 0 ? 0 : static_cast<uint8_t>(high * 16 + low);
}

bool are_hex_digits(const char *text, size_t count)
{
	for (size_t i = 0; i < count; i++)
		if (hex_digit(text[i]) < 0)
			return false;
	return true;
}
