// The entry routine: banner, argument checks, one patch run.
#include "extern.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

// Length keeps its 32-bit reading, saturating at either end.
static int32_t length_of(bool negative, uint64_t size)
{
	if (negative)
		return size >= uint64_t{1} << 31 ? INT32_MIN : -static_cast<int32_t>(size);
	return size > INT32_MAX ? INT32_MAX : static_cast<int32_t>(size);
}

// Standard input's ranges, no byte named twice; a list in order needs no copy.
static refusal input_refusal(const patch_range *given, patch_list &list,
                             patch_range *&ranges)
{
	refusal refused =
		read_ranges(read_input, given, &ranges, &list.count, &list.pool);
	list.ranges = ranges;
	if (refused.said)
		return refused;
	auto by_address = [](const patch_range &a, const patch_range &b) {
		return a.address < b.address;
	};
	const patch_range *sorted = ranges;
	patch_range *end = ranges + list.count;
	patch_range *copy = nullptr;
	if (!std::is_sorted(ranges, end, by_address)) {
		copy = static_cast<patch_range *>(malloc(list.count * sizeof *copy));
		if (!copy)
			return {&messages::no_memory, 0};
		std::sort(copy, std::copy(ranges, end, copy), by_address);
		sorted = copy;
	}
	// The lowest byte named twice; no range is empty.
	size_t r = 1;
	while (r < list.count &&
	       sorted[r].address >= sorted[r - 1].address + sorted[r - 1].length)
		r++;
	refused = {&messages::overlap, r < list.count ? sorted[r].address : 0};
	free(copy);
	return r < list.count ? refused : refusal{};
}

static bool is_dash(const char *word)
{
	return strcmp(word, "-") == 0;
}

// Pairs of digits, or OLD:NEW, a word of odd length with its one ':' in
// the middle; - is either.
static bool well_formed(const char *hex, size_t count, const char *colon)
{
	if (!colon)
		return count % 2 == 0 || is_dash(hex);
	return count % 2 != 0 && colon == hex + count / 2 && !strchr(colon + 1, ':');
}

static patch_range single;

// The first refusal of the words and of standard input, in the man page's
// order; else none, with list made. Words decode in place.
static refusal refusal_of(char *argv[], patch_list &list, patch_range *&ranges)
{
	char *hex = argv[4];
	bool input = is_dash(hex);
	if (input && is_dash(argv[2]) && is_dash(argv[3]))
		return input_refusal(nullptr, list, ranges);
	size_t hex_count = strlen(hex);
	const char *colon = strchr(hex, ':');
	if (!well_formed(hex, hex_count, colon))
		return {&messages::hex_error, 0};
	bool negative;
	uint64_t size;
	if (!read_decimal(argv[3], &negative, &size))
		return {&messages::length_error, 0};
	if (input && ((negative && size != 0) || size > INT32_MAX))
		return {&messages::length_error, 0};
	int32_t length = length_of(negative, size);
	uint32_t count = length > 0 ? static_cast<uint32_t>(length) : 0;
	size_t half = colon ? hex_count / 2 : hex_count;
	uint32_t twice = static_cast<uint32_t>(length) * 2u; // wrapped, unsigned
	if (!input && half < twice)
		return {&messages::need_more, 0};
	uint8_t *bytes = reinterpret_cast<uint8_t *>(hex);
	if (!input && colon && (half != twice || !decode_hex(hex, count, bytes)))
		return {&messages::hex_error, 0};
	if (!input && !decode_hex(hex + (colon ? half + 1 : 0), count,
	                          bytes + (colon ? count : 0)))
		return {&messages::hex_error, 0};
	if (!read_decimal(argv[2], &negative, &single.address))
		return {&messages::address_error, 0};
	if (negative && single.address != 0) // -0 is 0
		return {&messages::out_of_range, 0};
	if (!in_range(single.address, count))
		return {&messages::out_of_range, 0};
	single.length = count;
	single.has_old = colon != nullptr;
	list = {&single, 1, bytes};
	return input ? input_refusal(&single, list, ranges) : refusal{};
}

int bitmend_main(int argc, char *argv[], const native_name *file,
                 bool output_is_target)
{
	if (output_is_target)
		drop_report();
	report(messages::banner);
	patch_list list = {};
	patch_range *ranges = nullptr;
	if (argc < 5) {
		report(messages::usage, argc > 0 && argv[0] ? argv[0] : "bitmend");
	} else {
		refusal refused = refusal_of(argv, list, ranges);
		if (refused.said)
			report(*refused.said, refused.number);
		else if (!output_is_target) // nor a patch, whatever it leads to later
			run_patch({argv[1], file}, list);
	}
	// Allocated only where standard input gave the bytes.
	if (list.pool != reinterpret_cast<uint8_t *>(argc > 4 ? argv[4] : nullptr))
		free(list.pool);
	free(ranges);
	flush_report();
	return 0;
}
