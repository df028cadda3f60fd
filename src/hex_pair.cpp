// Hex digits to bytes, without branches, so many run at once.
#include "extern.h"

#include <array>
#include <cstring>

// 1 for a character that is no hex digit, else 0.
static constexpr unsigned no_digit(char c)
{
	uint8_t code = static_cast<uint8_t>(c);
	return (static_cast<uint8_t>(code - '0') > 9) &
	       (static_cast<uint8_t>((code | 0x20) - 'a') > 5);
}

// Its low four bits, and 9 more for a letter, whose bit 6 is set.
static constexpr unsigned value_of(char c)
{
	uint8_t code = static_cast<uint8_t>(c);
	return (code & 0xfu) + 9 * (code >> 6);
}

static constexpr std::array<int8_t, 256> digit_values()
{
	std::array<int8_t, 256> values = {};
	for (size_t code = 0; code < values.size(); code++) {
		char c = static_cast<char>(code);
		values[code] = static_cast<int8_t>(no_digit(c) ? -1 : value_of(c));
	}
	return values;
}

const std::array<int8_t, 256> hex_digit_value = digit_values();

uint8_t decode_hex_pair(const char *pair)
{
	return static_cast<uint8_t>((no_digit(pair[0]) | no_digit(pair[1]))
	                                    ? 0
	                                    : value_of(pair[0]) * 16 +
	                                              value_of(pair[1]));
}

// Through a block of its own, so that bytes that overwrite the digits (in
// place) still decode many at once: 16 at a time while 16 are left.
bool decode_hex(const char *hex, uint32_t count, uint8_t *bytes)
{
	unsigned no_digits = 0;
	uint32_t done = 0;
	for (uint8_t block[16]; count - done >= 16; done += 16) {
		const char *pairs = hex + 2 * size_t{done};
		for (uint32_t i = 0; i < 16; i++) {
			no_digits |= no_digit(pairs[2 * i]) | no_digit(pairs[2 * i + 1]);
			block[i] = static_cast<uint8_t>(value_of(pairs[2 * i]) * 16 +
			                                value_of(pairs[2 * i + 1]));
		}
		memcpy(bytes + done, block, 16);
	}
	for (; done < count; done++) {
		no_digits |= no_digit(hex[2 * done]) | no_digit(hex[2 * done + 1]);
		bytes[done] = decode_hex_pair(hex + 2 * done);
	}
	return no_digits == 0;
}
