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

// Through a block of its own, so that bytes that overwrite the digits
// (in place) still decode many at once.
bool decode_hex(const char *hex, uint32_t count, uint8_t *bytes)
{
	unsigned no_digits = 0;
	for (uint32_t done = 0; done < count; done += 64) {
		uint8_t block[64] = {};
		uint32_t part = count - done < 64 ? count - done : 64;
		for (uint32_t i = 0; i < part; i++) {
			const char *pair = hex + 2 * (size_t{done} + i);
			no_digits |= no_digit(pair[0]) | no_digit(pair[1]);
			block[i] = decode_hex_pair(pair);
		}
		memcpy(bytes + done, block, part);
	}
	return no_digits == 0;
}
