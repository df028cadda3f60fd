// Two hex digits to one byte.
#include "bitmend.h"

// Digit value 0 to 15, or -1 for a character that is no hex digit.
static int hex_digit(char c)
{
	uint8_t code = static_cast<uint8_t>(c);
	if (static_cast<uint8_t>(code - 0x30) <= 9)
		return code - 0x30;
	if (static_cast<uint8_t>(code - 0x41) <= 5)
		return code - 0x37;
	if (static_cast<uint8_t>(code - 0x61) <= 5)
		return code - 0x57;
	return -1;
}

uint8_t decode_hex_pair(const char *pair)
{
	int high = hex_digit(pair[0]);
	if (high < 0)
		return 0;
	int low = hex_digit(pair[1]);
	if (low < 0)
		return 0;
	return static_cast<uint8_t>(high * 16 + low);
}
