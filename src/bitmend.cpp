// The entry routine: banner, argument checks, one patch run.
#include "bitmend.h"

#include <cctype>
#include <cstring>

bool read_decimal(const char *text, bool *negative, uint64_t *size)
{
	while (isspace(static_cast<unsigned char>(*text)))
		text++;
	*negative = *text == '-';
	if (*text == '-' || *text == '+')
		text++;
	const char *digits = text;
	for (*size = 0; *text >= '0' && *text <= '9'; text++) {
		uint64_t digit = static_cast<uint64_t>(*text - '0');
		*size = *size > (UINT64_MAX - digit) / 10 ? UINT64_MAX
		                                          : *size * 10 + digit;
	}
	if (text == digits)
		return false;
	while (isspace(static_cast<unsigned char>(*text)))
		text++;
	return *text == '\0';
}

bool has_enough_hex(size_t hex_count, int32_t length)
{
	return hex_count >= static_cast<uint32_t>(length) * 2u;
}

// Length keeps its 32-bit reading, saturating at either end: past the top
// it asks for more digits than a command line holds, and past the bottom
// it patches nothing.
static int32_t length_of(bool negative, uint64_t size)
{
	if (negative)
		return size >= uint64_t{1} << 31 ? INT32_MIN
		                                 : -static_cast<int32_t>(size);
	return size > INT32_MAX ? INT32_MAX : static_cast<int32_t>(size);
}

// Offsets reach INT64_MAX, and the last byte of a run may lie there.
static bool in_range(bool negative, uint64_t address, int32_t length)
{
	if ((negative && address != 0) || address > INT64_MAX)
		return false;
	return length <= 0 || address + static_cast<uint64_t>(length) <=
	                              uint64_t{INT64_MAX} + 1;
}

// The message that refuses a call of four words or more, checked in this
// order, or null where they make a request.
static const char *refusal(char *argv[], uint64_t *address, int32_t *length)
{
	const char *hex = argv[4];
	size_t hex_count = strlen(hex);
	bool negative;
	uint64_t size;
	if (hex_count % 2 != 0)
		return "\nHexNumber Error!\n";
	if (!read_decimal(argv[3], &negative, &size))
		return "\nLength Error!\n";
	*length = length_of(negative, size);
	if (!has_enough_hex(hex_count, *length))
		return "\nNeed More HexNumber!\n";
	if (*length > 0 && !are_hex_digits(hex, 2 * static_cast<size_t>(*length)))
		return "\nHexNumber Error!\n";
	if (!read_decimal(argv[2], &negative, address))
		return "\nAddress Error!\n";
	if (!in_range(negative, *address, *length))
		return "\nAddress Out Of Range!\n";
	return nullptr;
}

int bitmend_main(int argc, char *argv[])
{
	report("Bitmend v1.00 - patch bytes of a file in place\n"
	       "Writes Length bytes at decimal Address, two hex digits a byte\n");
	uint64_t address;
	int32_t length;
	if (argc < 5)
		report("\nUsage: %s InputFile.bin Address Length HexNumber\n",
		       argc > 0 && argv[0] ? argv[0] : "bitmend");
	else if (const char *message = refusal(argv, &address, &length))
		report(message);
	else
		run_patch(argv[1], address, length, argv[4]);
	flush_report();
	return 0;
}
