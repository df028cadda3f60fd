// Drives the whole tool with arbitrary argument words against a real file
// and checks the promises: no byte outside the range is written, the file is
// neither created nor cut short, every byte reported OK is in the file, and
// a valid call on the scratch file patches it. The input is split at NUL
// bytes into up to eight words; the fifth, which the tool ignores, is its
// standard input.
#include "extern.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

// Past this size writes fail, so failures are fuzzed too and files stay small.
constexpr off_t size_limit = 1 << 20;
constexpr size_t original_size = 64;
static uint8_t original[original_size];
static int home_folder, scratch_folder;

#define CHECK(condition, output)                                              \
	do {                                                                  \
		if (!(condition)) {                                           \
			fprintf(stderr, "broken: %s\noutput:\n%s\n", #condition, \
			        (output).c_str());                            \
			abort();                                              \
		}                                                             \
	} while (0)

static int model_digit(unsigned char c)
{
	const char *digits = "0123456789abcdef";
	for (int value = 0; value < 16; value++)
		if (c == digits[value] || (value > 9 && c == digits[value] - 32))
			return value;
	return -1;
}

static int model_pair(const char *pair)
{
	int high = model_digit(pair[0]), low = model_digit(pair[1]);
	return high < 0 || low < 0 ? 0 : high * 16 + low;
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
	static char folder[] = "/tmp/bitmend-fuzz-XXXXXX";
	if (!mkdtemp(folder))
		abort();
	home_folder = open(".", O_RDONLY | O_DIRECTORY);
	scratch_folder = open(folder, O_RDONLY | O_DIRECTORY);
	struct rlimit limit = {size_limit, size_limit};
	setrlimit(RLIMIT_FSIZE, &limit);
	for (size_t i = 0; i < original_size; i++)
		original[i] = static_cast<uint8_t>(i * 37 + 11);
	return 0;
}

// A descriptor that reads text.
static int text_file(const std::string &text)
{
	int fd = memfd_create("input", 0);
	if (fd < 0 || write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
		abort();
	lseek(fd, 0, SEEK_SET);
	return fd;
}

// The process's entry, as the tool's own process runs it.
int bitmend_posix_main(int argc, char **argv);

static std::string run_captured(int argc, char **argv, const std::string &input)
{
	int report = memfd_create("report", 0);
	int saved_output = dup(STDOUT_FILENO), saved_input = dup(STDIN_FILENO);
	int given = text_file(input);
	fflush(stdout);
	dup2(report, STDOUT_FILENO);
	dup2(given, STDIN_FILENO);
	bitmend_posix_main(argc, argv);
	fflush(stdout);
	dup2(saved_output, STDOUT_FILENO);
	dup2(saved_input, STDIN_FILENO);
	close(saved_output);
	close(saved_input);
	close(given);
	std::string text(static_cast<size_t>(lseek(report, 0, SEEK_END)), '\0');
	if (pread(report, &text[0], text.size(), 0) != static_cast<ssize_t>(text.size()))
		abort();
	close(report);
	return text;
}

static std::vector<uint8_t> read_target()
{
	struct stat status;
	if (stat("t", &status) != 0)
		abort();
	std::vector<uint8_t> bytes(static_cast<size_t>(status.st_size));
	int fd = open("t", O_RDONLY);
	if (fd < 0 || read(fd, bytes.data(), bytes.size()) != status.st_size)
		abort();
	close(fd);
	return bytes;
}

static int folder_entries()
{
	int count = 0;
	DIR *dir = opendir(".");
	while (readdir(dir))
		count++;
	closedir(dir);
	return count;
}

// Consumes one expected piece of text at the front of rest.
static bool take(std::string &rest, const std::string &piece)
{
	if (rest.compare(0, piece.size(), piece) != 0)
		return false;
	rest.erase(0, piece.size());
	return true;
}

static std::string format(const char *pattern, unsigned long long a,
                          unsigned long long b = 0, unsigned c = 0,
                          unsigned d = 0)
{
	char text[128];
	snprintf(text, sizeof text, pattern, a, b, c, d);
	return text;
}

// A number as the rules take it: optional white space, an optional sign,
// one or more decimal digits, optional white space, nothing else.
static bool model_number(const std::string &text, bool &negative,
                         unsigned __int128 &size)
{
	const char *white = " \t\n\v\f\r";
	size_t at = text.find_first_not_of(white);
	at = at == std::string::npos ? text.size() : at;
	negative = at < text.size() && text[at] == '-';
	if (at < text.size() && (text[at] == '-' || text[at] == '+'))
		at++;
	size_t digits = at;
	for (size = 0; at < text.size() && isdigit(static_cast<unsigned char>(text[at])); at++)
		size = size > UINT64_MAX ? size : size * 10 + static_cast<unsigned>(text[at] - '0');
	if (at == digits)
		return false;
	return text.find_first_not_of(white, at) == std::string::npos;
}

// Decodes 2 x count hex digits at text[from] into bytes; "" or why not.
static std::string model_digits(const std::string &text, size_t from,
                                uint32_t count, std::vector<uint8_t> &bytes)
{
	for (size_t i = 0; i < 2 * size_t{count}; i++)
		if (from + i >= text.size())
			return "\nNeed More HexNumber!\n";
		else if (model_digit(static_cast<unsigned char>(text[from + i])) < 0)
			return "\nHexNumber Error!\n";
	for (size_t i = 0; i < count; i++)
		bytes.push_back(static_cast<uint8_t>(model_pair(&text[from + 2 * i])));
	return "";
}

// One range a request patches, as the model sees it.
struct model_range {
	uint64_t address;
	std::vector<uint8_t> old_bytes, new_bytes;
	bool has_old;
};

// A list of ranges from standard input, a line each; "" or the refusal.
static std::string model_list(const std::string &input, std::vector<model_range> &ranges)
{
	size_t line_start = 0;
	for (uint64_t line = 1; line_start < input.size(); line++) {
		size_t end = input.find('\n', line_start);
		std::string text = input.substr(line_start, end == std::string::npos ? std::string::npos : end - line_start);
		std::string at = " At Line " + std::to_string(line) + "!\n";
		line_start = end == std::string::npos ? input.size() : end + 1;
		// A CR is no blank: it stands only right before a line feed.
		if (end != std::string::npos && !text.empty() && text.back() == '\r')
			text.pop_back();
		auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f'; };
		auto comment_has_cr = [&](size_t from) {
			return text.find('\r', from) != std::string::npos;
		};
		size_t i = 0;
		while (i < text.size() && blank(text[i]))
			i++;
		if (i < text.size() && text[i] == '#' && comment_has_cr(i))
			return "\nHexNumber Error" + at;
		if (i == text.size() || text[i] == '#')
			continue;
		// Decimal digits, or 0x or 0X and hex digits.
		unsigned base = text.compare(i, 2, "0x") == 0 || text.compare(i, 2, "0X") == 0 ? 16 : 10;
		unsigned __int128 address = 0;
		size_t digits = i += base == 16 ? 2 : 0;
		for (int d; i < text.size() && (d = model_digit(static_cast<unsigned char>(text[i]))) >= 0 &&
		            static_cast<unsigned>(d) < base; i++)
			if ((address = address * base + static_cast<unsigned>(d)) > INT64_MAX)
				return "\nAddress Out Of Range" + at;
		if (i == text.size() && end == std::string::npos)
			return "\nList Ends Inside Line " + std::to_string(line) + "!\n";
		if (i == digits || (i < text.size() && !blank(text[i])))
			return "\nAddress Error" + at;
		// A blank, a ':' or a '#' never stands inside a pair.
		std::string hex;
		size_t run = 0;
		for (; i < text.size() && text[i] != '#'; i++) {
			bool digit = model_digit(static_cast<unsigned char>(text[i])) >= 0;
			if (!digit && (run % 2 != 0 || !(blank(text[i]) || text[i] == ':')))
				return "\nHexNumber Error" + at;
			run = digit ? run + 1 : 0;
			if (digit || text[i] == ':')
				hex += text[i];
		}
		if (i < text.size() && (run % 2 != 0 || comment_has_cr(i)))
			return "\nHexNumber Error" + at;
		size_t colon = hex.find(':');
		std::string old_hex = colon == std::string::npos ? "" : hex.substr(0, colon);
		std::string new_hex = colon == std::string::npos ? hex : hex.substr(colon + 1);
		if (new_hex.find(':') != std::string::npos || old_hex.size() % 2 != 0)
			return "\nHexNumber Error" + at;
		if (end == std::string::npos)
			return "\nList Ends Inside Line " + std::to_string(line) + "!\n";
		if (new_hex.empty() || new_hex.size() % 2 != 0 ||
		    (colon != std::string::npos && old_hex.size() != new_hex.size()))
			return "\nHexNumber Error" + at;
		model_range range = {static_cast<uint64_t>(address), {}, {}, colon != std::string::npos};
		model_digits(old_hex, 0, static_cast<uint32_t>(old_hex.size() / 2), range.old_bytes);
		model_digits(new_hex, 0, static_cast<uint32_t>(new_hex.size() / 2), range.new_bytes);
		if (address + range.new_bytes.size() > static_cast<unsigned __int128>(INT64_MAX) + 1)
			return "\nAddress Out Of Range" + at;
		ranges.push_back(range);
	}
	uint64_t lowest = UINT64_MAX;
	for (const model_range &a : ranges)
		for (const model_range &b : ranges)
			if (&a != &b && a.address >= b.address && a.address < b.address + b.new_bytes.size())
				lowest = a.address < lowest ? a.address : lowest;
	return lowest == UINT64_MAX ? "" : format("\nOverlap At 0x%llx!\n", lowest);
}

// What the run prints after the banner when it refuses the words, or ""
// when it goes on to the file, with the request it then makes. form is 'p'
// for plain digits, 'e' for OLD:NEW, 'i' for standard input and 'l' for a
// list from it.
static std::string model_refusal(const std::vector<std::string> &words,
                                 int64_t &address, int32_t &length, char &form)
{
	if (words.size() < 4)
		return "\nUsage: bitmend InputFile.bin Address Length HexNumber\n";
	const std::string &hex = words[3];
	bool negative;
	unsigned __int128 size;
	if (words[1] == "-" && words[2] == "-" && hex == "-") {
		form = 'l';
		return "";
	}
	size_t colons = static_cast<size_t>(std::count(hex.begin(), hex.end(), ':'));
	form = hex == "-" ? 'i' : colons ? 'e' : 'p';
	if ((form == 'p' && hex.size() % 2 != 0) ||
	    (form == 'e' && (colons != 1 || hex.size() % 2 == 0 || hex[hex.size() / 2] != ':')))
		return "\nHexNumber Error!\n";
	if (!model_number(words[2], negative, size))
		return "\nLength Error!\n";
	length = negative ? (size >= 0x80000000u ? INT32_MIN : -static_cast<int32_t>(size))
	                  : (size > INT32_MAX ? INT32_MAX : static_cast<int32_t>(size));
	if (form == 'i') {
		if ((negative && size != 0) || size > INT32_MAX)
			return "\nLength Error!\n";
	} else {
		size_t half = form == 'e' ? hex.size() / 2 : hex.size();
		uint32_t doubled = static_cast<uint32_t>(length) * 2u;
		if (half < doubled)
			return "\nNeed More HexNumber!\n";
		if (form == 'e' && half != doubled)
			return "\nHexNumber Error!\n";
		for (int64_t i = 0; i < 2 * int64_t{length}; i++)
			if (model_digit(static_cast<unsigned char>(hex[i])) < 0 ||
			    (form == 'e' && model_digit(static_cast<unsigned char>(hex[half + 1 + i])) < 0))
				return "\nHexNumber Error!\n";
	}
	if (!model_number(words[1], negative, size))
		return "\nAddress Error!\n";
	if ((negative && size > 0) || size > INT64_MAX ||
	    (length > 0 && size + length > static_cast<unsigned __int128>(INT64_MAX) + 1))
		return "\nAddress Out Of Range!\n";
	address = static_cast<int64_t>(size);
	return "";
}

// The bytes a request writes, and those it expects (none without OLD), or
// the refusal of its standard input, whose white space the rules drop.
static std::string model_bytes(const std::vector<std::string> &words, char form,
                               uint32_t count, const std::string &input,
                               std::vector<uint8_t> &new_bytes,
                               std::vector<uint8_t> &expected)
{
	std::string text;
	for (char c : form == 'i' ? input : words[3])
		if (form != 'i' || (c != ' ' && (c < '\t' || c > '\r')))
			text += c;
	size_t need = 2 * size_t{count};
	bool joined = form == 'e' || (form == 'i' && need < text.size() && text[need] == ':');
	std::string message = model_digits(text, 0, count, joined ? expected : new_bytes);
	if (message.empty() && joined)
		message = model_digits(text, need + 1, count, new_bytes);
	if (message.empty() && form == 'i' && text.size() != (joined ? 2 * need + 1 : need))
		return "\nHexNumber Error!\n";
	return message;
}

static const std::string finishing = "\nPartly Patched, Finishing...\n";

// What the file's bytes under each OLD say before a byte is written (one
// whose OLD is its NEW is either): "" where none holds only NEW, or all
// NEW beside a plain range; finishing where both kinds are; else Already
// Patched, or the refusal at the first byte that holds neither.
static std::string model_compare(const std::vector<model_range> &ranges)
{
	bool some_old = false, some_new = false, all_guarded = true;
	for (const model_range &range : ranges) {
		all_guarded = all_guarded && range.has_old;
		for (size_t i = 0; range.has_old && i < range.old_bytes.size(); i++) {
			uint64_t at = range.address + i;
			bool in_file = at < original_size;
			bool is_old = in_file && original[at] == range.old_bytes[i];
			bool is_new = in_file && original[at] == range.new_bytes[i];
			if (!in_file)
				return format("\nMismatch At 0x%llx: Found End Of File, Expected 0x%llx!\n",
				              at, range.old_bytes[i]);
			if (!is_old && !is_new)
				return format("\nMismatch At 0x%llx: Found 0x%llx, Expected 0x%x!\n", at,
				              original[at], range.old_bytes[i]);
			some_old = some_old || !is_new;
			some_new = some_new || !is_old;
		}
	}
	return !some_new || (!some_old && !all_guarded) ? "" : some_old ? finishing
	                                                                : "\nAlready Patched!\n";
}

// The name as the report shows it: each character that could end a line
// as '?'.
static std::string shown_of(const std::vector<std::string> &words)
{
	std::string shown;
	for (size_t at = 0; !words.empty() && at < words[0].size(); at++) {
		std::string next = words[0].substr(at, 3);
		unsigned char c = static_cast<unsigned char>(words[0][at]);
		if (next == "\xe2\x80\xa8" || next == "\xe2\x80\xa9")
			at += 2;
		else if (next.compare(0, 2, "\xc2\x85") == 0)
			at += 1;
		else if (c >= 0x20 && c != 0x7f) {
			shown += static_cast<char>(c);
			continue;
		}
		shown += '?';
	}
	return shown;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	std::string input(reinterpret_cast<const char *>(data), size);
	for (size_t i = 0; i + 1 < size; i++)
		if (decode_hex_pair(&input[i]) != model_pair(&input[i]))
			abort();

	std::vector<std::string> words;
	for (size_t start = 0; size > 0 && start <= size && words.size() < 8;) {
		size_t end = input.find('\0', start);
		if (end == std::string::npos)
			end = size;
		words.push_back(input.substr(start, end - start));
		start = end + 1;
	}
	// The path names entries of the scratch folder only, never a file elsewhere.
	if (!words.empty())
		for (char &c : words[0])
			if (c == '/')
				c = '_';
	// The tool decodes a word's digits in place: the model reads them as typed.
	std::vector<std::string> typed = words;
	std::vector<char *> argv{const_cast<char *>("bitmend")};
	for (std::string &word : typed)
		argv.push_back(&word[0]);
	argv.push_back(nullptr);
	int argc = static_cast<int>(argv.size() - 1);

	// Paths in the words are the scratch folder's; libFuzzer's are not.
	if (fchdir(scratch_folder) != 0)
		abort();
	int fd = open("t", O_WRONLY | O_CREAT | O_TRUNC, 0644);
	if (fd < 0 || write(fd, original, original_size) != original_size)
		abort();
	close(fd);
	int entries = folder_entries();

	std::string given = words.size() > 4 ? words[4] : "";
	std::string output = run_captured(argc, argv.data(), given);
	std::vector<uint8_t> after = read_target();
	CHECK(folder_entries() == entries, output);
	if (fchdir(home_folder) != 0)
		abort();

	std::string rest = output;
	CHECK(take(rest, "Bitmend v1.00") && rest.find('\n') != std::string::npos, output);
	rest.erase(0, rest.find('\n') + 1);
	CHECK(rest.find('\n') != std::string::npos && rest[0] != '\n', output);
	rest.erase(0, rest.find('\n') + 1);

	int64_t address = 0;
	int32_t length = 0;
	char form = 'p';
	std::string refusal = model_refusal(words, address, length, form);
	uint32_t count = length > 0 ? static_cast<uint32_t>(length) : 0;
	std::vector<model_range> ranges;
	if (refusal.empty() && form == 'l')
		refusal = model_list(given, ranges);
	else if (refusal.empty()) {
		ranges.push_back({static_cast<uint64_t>(address), {}, {}, false});
		refusal = model_bytes(words, form, count, given, ranges[0].new_bytes,
		                      ranges[0].old_bytes);
		ranges[0].has_old = !ranges[0].old_bytes.empty() || form == 'e' ||
		                    (form == 'i' && given.find(':') != std::string::npos);
	}
	// The scratch file is a plain file the run may hold; any other name is
	// missing, or a folder. OLD is compared once the file is open.
	std::string shown = shown_of(words);
	if (refusal.empty() && words[0] != "t")
		refusal = "\nCan't Open " + shown + "!\n";
	if (refusal.empty())
		refusal = model_compare(ranges);
	std::vector<std::pair<uint64_t, uint8_t>> written;
	// Memory for a standard input that claims gigabytes may run out.
	if (!refusal.empty() && refusal != finishing &&
	    !(form == 'i' && count > (1u << 24) && rest == "\nNot Enough Memory!\n"))
		CHECK(rest == refusal, output + "expected:\n" + refusal);
	else {
		CHECK(refusal != finishing || take(rest, finishing), output);
		bool failed = false;
		for (size_t r = 0; r < ranges.size() && !failed; r++) {
			const model_range &range = ranges[r];
			CHECK(take(rest, format("\nSeeking To 0x%llx, Patching...\n\n", range.address)),
			      output);
			auto offset = [&](uint32_t i) { return range.address + i; };
			auto old_byte = [&](uint32_t i) {
				return offset(i) < original_size ? original[offset(i)] : 0u;
			};
			auto line = [&](uint32_t i) {
				return format("(%llu).Offset 0x%llx:  [0x%x]->[0x%x]...", i, offset(i),
				              old_byte(i), range.new_bytes[i]);
			};
			uint32_t patched = 0;
			while (patched < range.new_bytes.size() && take(rest, line(patched) + "OK\n"))
				written.push_back({offset(patched), range.new_bytes[patched++]});
			if (patched < range.new_bytes.size()) {
				CHECK(rest == line(patched) + format("\nCan't Write 0x%llx!\n", offset(patched)) ||
				      rest == format("\nCan't Read 0x%llx!\n", offset(patched)),
				      output);
				failed = true;
			}
		}
		CHECK(failed || rest == "\nDone!\n" || rest == "\nCan't Close " + shown + "!\n" ||
		      rest == "\nCan't Flush " + shown + "!\n",
		      output);
	}
	// Every byte reported OK is in the file, and no other byte changed.
	std::vector<uint8_t> want(original, original + original_size);
	for (const auto &byte : written) {
		if (byte.first >= want.size())
			want.resize(byte.first + 1, 0);
		want[byte.first] = byte.second;
	}
	CHECK(after == want, output);
	return 0;
}
