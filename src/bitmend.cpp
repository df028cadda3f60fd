// The entry routine: banner, argument checks, one patch run.
#include "bitmend.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
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

// Length keeps its 32-bit reading, saturating at either end: past the top
// it asks for more digits than a command line holds, past the bottom none.
static int32_t length_of(bool negative, uint64_t size)
{
	if (negative)
		return size >= uint64_t{1} << 31 ? INT32_MIN
		                                 : -static_cast<int32_t>(size);
	return size > INT32_MAX ? INT32_MAX : static_cast<int32_t>(size);
}

// The given range's bytes or a list from standard input, no byte named
// twice; else the refusal and the line or offset it names. Lists are mostly
// in order already, and then need no sorted copy.
static const char *input_refusal(const patch_range *given, patch_list &list,
                                 patch_range *&ranges, uint64_t *number)
{
	if (const char *message =
		    read_ranges(given, &ranges, &list.count, &list.pool, number))
		return message;
	list.ranges = ranges;
	auto by_address = [](const patch_range &a, const patch_range &b) {
		return a.address < b.address;
	};
	const patch_range *sorted = ranges;
	patch_range *end = ranges + list.count;
	patch_range *copy = nullptr;
	if (!std::is_sorted(ranges, end, by_address)) {
		copy = static_cast<patch_range *>(malloc(list.count * sizeof *copy));
		if (!copy)
			return "\nNot Enough Memory!\n";
		std::sort(copy, std::copy(ranges, end, copy), by_address);
		sorted = copy;
	}
	// The lowest offset that two ranges both name.
	const char *message = nullptr;
	for (uint64_t r = 1, reach = 0; r < list.count && !message; r++) {
		uint64_t range_end = sorted[r - 1].address + sorted[r - 1].length;
		reach = range_end > reach ? range_end : reach;
		if (sorted[r].address < reach) {
			*number = sorted[r].address;
			message = "\nOverlap At 0x%x!\n";
		}
	}
	free(copy);
	return message;
}

// The range of a call of four words.
static patch_range single;

// The refusal of a call of four words or more, in the order checked, and
// *number, the line or offset it names; or null once the words, and
// standard input where they name it, make list (allocating *ranges and
// list.pool). A word's byte i is decoded in place, where its digits began.
static const char *refusal(char *argv[], patch_list &list,
                           patch_range *&ranges, uint64_t *number)
{
	char *hex = argv[4];
	if (strcmp(argv[2], "-") == 0 && strcmp(argv[3], "-") == 0 &&
	    strcmp(hex, "-") == 0)
		return input_refusal(nullptr, list, ranges, number);
	size_t hex_count = strlen(hex);
	bool input = strcmp(hex, "-") == 0;
	// A ':' anywhere makes OLD:NEW: one, in the middle of an odd count.
	const char *colon = strchr(hex, ':');
	if (colon ? hex_count % 2 == 0 || colon != hex + hex_count / 2 ||
	                    strchr(colon + 1, ':')
	          : !input && hex_count % 2 != 0)
		return "\nHexNumber Error!\n";
	bool negative;
	uint64_t size;
	if (!read_decimal(argv[3], &negative, &size))
		return "\nLength Error!\n";
	int32_t length = length_of(negative, size);
	uint32_t count = length > 0 ? static_cast<uint32_t>(length) : 0;
	single = {0, count, colon != nullptr, 0};
	list = {&single, 1, reinterpret_cast<uint8_t *>(hex)};
	if (input) {
		// No command line bounds what standard input may hold.
		if ((negative && size != 0) || size > INT32_MAX)
			return "\nLength Error!\n";
	} else {
		size_t half = colon ? hex_count / 2 : hex_count;
		// Twice Length, wrapped to 32 bits and unsigned: a negative one
		// asks for more digits than a command line holds, but near INT32_MIN.
		if (half < static_cast<uint32_t>(length) * 2u)
			return "\nNeed More HexNumber!\n";
		if ((colon && (half != static_cast<uint32_t>(length) * 2u ||
		               !decode_hex(hex, count, list.pool))) ||
		    !decode_hex(hex + (colon ? half + 1 : 0), count,
		                list.pool + (colon ? count : 0)))
			return "\nHexNumber Error!\n";
	}
	if (!read_decimal(argv[2], &negative, &single.address))
		return "\nAddress Error!\n";
	// Offsets reach INT64_MAX, and the last byte of a run may lie there.
	if ((negative && single.address != 0) || single.address > INT64_MAX ||
	    single.address + count > uint64_t{INT64_MAX} + 1)
		return "\nAddress Out Of Range!\n";
	return input ? input_refusal(&single, list, ranges, number) : nullptr;
}

int bitmend_main(int argc, char *argv[], const void *native_file)
{
	report("Bitmend v1.00 - patch bytes of a file in place\n"
	       "Writes Length bytes at decimal Address, two hex digits a byte\n");
	patch_list list = {};
	patch_range *ranges = nullptr;
	uint64_t number = 0;
	if (argc < 5)
		report("\nUsage: %s InputFile.bin Address Length HexNumber\n",
		       argc > 0 && argv[0] ? argv[0] : "bitmend");
	else if (const char *message = refusal(argv, list, ranges, &number))
		strchr(message, '%') ? report(message, number) : report(message);
	else
		run_patch({argv[1], native_file}, list);
	// Allocated only where standard input gave the bytes.
	if (list.pool != reinterpret_cast<uint8_t *>(argc > 4 ? argv[4] : nullptr))
		free(list.pool);
	free(ranges);
	flush_report();
	return 0;
}
