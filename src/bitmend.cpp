// The entry routine: banner, argument checks, one patch run.
#include "bitmend.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

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

// Length keeps its 32-bit reading, saturating at either end.
static int32_t length_of(bool negative, uint64_t size)
{
	if (negative)
		return size >= uint64_t{1} << 31 ? INT32_MIN
		                                 : -static_cast<int32_t>(size);
	return size > INT32_MAX ? INT32_MAX : static_cast<int32_t>(size);
}

// Standard input's ranges, no byte named twice; a list in order needs no copy.
static const char *input_refusal(const patch_range *given, patch_list &list,
                                 patch_range *&ranges, uint64_t *number)
{
	if (const char *refused = read_ranges(read_input, given, &ranges,
	                                      &list.count, &list.pool, number))
		return refused;
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
			return message::no_memory;
		std::sort(copy, std::copy(ranges, end, copy), by_address);
		sorted = copy;
	}
	// The lowest byte named twice; no range is empty.
	size_t r = 1;
	while (r < list.count &&
	       sorted[r].address >= sorted[r - 1].address + sorted[r - 1].length)
		r++;
	*number = r < list.count ? sorted[r].address : 0;
	free(copy);
	return r < list.count ? message::overlap : nullptr;
}

static patch_range single;

// The first refusal of the words and of standard input, with the line or
// offset it names; else null, with list made. Words decode in place.
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
		return message::hex_error;
	bool negative;
	uint64_t size;
	if (!read_decimal(argv[3], &negative, &size))
		return message::length_error;
	int32_t length = length_of(negative, size);
	uint32_t count = length > 0 ? static_cast<uint32_t>(length) : 0;
	single = {0, count, colon != nullptr, 0};
	list = {&single, 1, reinterpret_cast<uint8_t *>(hex)};
	size_t half = colon ? hex_count / 2 : hex_count;
	uint32_t twice = static_cast<uint32_t>(length) * 2u; // wrapped, unsigned
	if (input && ((negative && size != 0) || size > INT32_MAX))
		return message::length_error;
	if (!input && half < twice)
		return message::need_more;
	if (!input &&
	    ((colon && (half != twice || !decode_hex(hex, count, list.pool))) ||
	     !decode_hex(hex + (colon ? half + 1 : 0), count,
	                 list.pool + (colon ? count : 0))))
		return message::hex_error;
	if (!read_decimal(argv[2], &negative, &single.address))
		return message::address_error;
	// -0 is 0.
	if ((negative && single.address != 0) || !in_range(single.address, count))
		return message::out_of_range;
	return input ? input_refusal(&single, list, ranges, number) : nullptr;
}

int bitmend_main(int argc, char *argv[], const void *native_file)
{
	report(message::banner);
	patch_list list = {};
	patch_range *ranges = nullptr;
	uint64_t number = 0;
	if (argc < 5)
		report(message::usage, argc > 0 && argv[0] ? argv[0] : "bitmend");
	else if (const char *refused = refusal(argv, list, ranges, &number))
		strchr(refused, '%') ? report(refused, number) : report(refused);
	else
		run_patch({argv[1], native_file}, list);
	// Allocated only where standard input gave the bytes.
	if (list.pool != reinterpret_cast<uint8_t *>(argc > 4 ? argv[4] : nullptr))
		free(list.pool);
	free(ranges);
	flush_report();
	return 0;
}
