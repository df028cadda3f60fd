// Numbers written in full, for the words and the lists, and the range a
// patch may cover.
#include "extern.h"

// Either base's digits saturate alike, so that no address wraps.
template <unsigned base> static const char *digits_of(const char *text, uint64_t *value)
{
	uint64_t read = *value;
	// -1, no digit, is 255 as unsigned: past either base.
	for (unsigned digit; (digit = static_cast<uint8_t>(
	                              hex_digit_value[static_cast<uint8_t>(*text)])) < base;
	     text++)
		read = read < UINT64_MAX / base ? read * base + digit : UINT64_MAX;
	*value = read;
	return text;
}

const char *read_digits(const char *text, unsigned base, uint64_t *value)
{
	return base == 16 ? digits_of<16>(text, value) : digits_of<10>(text, value);
}

bool read_decimal(const char *text, bool *negative, uint64_t *size)
{
	while (is_white(*text))
		text++;
	*negative = *text == '-';
	if (*text == '-' || *text == '+')
		text++;
	const char *digits = text;
	*size = 0;
	text = read_digits(text, 10, size);
	if (text == digits)
		return false;
	while (is_white(*text))
		text++;
	return *text == '\0';
}

bool in_range(uint64_t address, uint64_t length)
{
	return address <= INT64_MAX && length <= uint64_t{INT64_MAX} + 1 - address;
}
