#include "extern.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

TEST(DecodeHexPair, Table)
{
	struct Case {
		const char *pair;
		int byte;
	} cases[] = {
		// The fuzz target compares every pair of its inputs with a model.
		{"7f", 0x7f}, {"A0", 0xa0}, {"aB", 0xab}, {"00", 0x00}, {"fF", 0xff},
		{"G1", 0}, {"1G", 0}, {" 1", 0}, {"-1", 0}, {"0x", 0}, {"\x80" "1", 0},
	};
	for (const Case &c : cases)
		EXPECT_EQ(decode_hex_pair(c.pair), c.byte) << "pair " << c.pair;
}

TEST(DecodeHexPair, ReadsOnlyTwoCharacters)
{
	const char pair[2] = {'c', 'd'}; // no terminator after it
	EXPECT_EQ(decode_hex_pair(pair), 0xcd);
}

TEST(ReadDecimal, Table)
{
	// size is read only where the text is a number written in full.
	struct Case {
		const char *text;
		bool number, negative;
		uint64_t size;
	} cases[] = {
		{"0", true, false, 0}, {"16", true, false, 16},
		{"+16", true, false, 16}, {"-16", true, true, 16},
		{"016", true, false, 16}, {"  \t\n42", true, false, 42},
		{"42\r\n", true, false, 42}, {" -0 ", true, true, 0},
		{"4294967296", true, false, 4294967296},
		{"9223372036854775808", true, false, 9223372036854775808u},
		{"18446744073709551615", true, false, UINT64_MAX},
		{"18446744073709551616", true, false, UINT64_MAX},
		{"-99999999999999999999999", true, true, UINT64_MAX},
		{"", false, false, 0}, {" ", false, false, 0}, {"-", false, false, 0}, {"+-1", false, false, 0},
		{"- 5", false, false, 0}, {"2x", false, false, 0}, {"0x100", false, false, 0}, {"abc", false, false, 0},
		{"1e3", false, false, 0}, {"1,024", false, false, 0}, {"1O24", false, false, 0}, {"1 2", false, false, 0},
		{"1\x80", false, false, 0}, {"\xef\xbc\x91", false, false, 0},
	};
	for (const Case &c : cases) {
		bool negative = false;
		uint64_t size = 0;
		bool number = read_decimal(c.text, &negative, &size);
		EXPECT_EQ(number, c.number) << "text '" << c.text << "'";
		if (number && c.number) {
			EXPECT_TRUE(negative == c.negative && size == c.size)
				<< "text '" << c.text << "': " << negative << " " << size;
		}
	}
}

TEST(DecodeHex, OnlyTheCountedCharacters)
{
	struct Case {
		const char *text;
		uint32_t count;
		bool digits;
		const char *bytes;
	} cases[] = {
		{"", 0, true, ""}, {"0aF9", 2, true, "\x0a\xf9"}, {"0xff", 2, false, nullptr},
		{"de:dbeef", 4, false, nullptr}, {"dead:", 2, true, "\xde\xad"},
		{"g0", 1, false, nullptr}, {"0 ", 1, false, nullptr},
		{"\xef\xbc", 1, false, nullptr}, {"7f\xff", 1, true, "\x7f"},
	};
	for (const Case &c : cases) {
		uint8_t bytes[4] = {};
		EXPECT_EQ(decode_hex(c.text, c.count, bytes), c.digits) << c.text;
		if (c.bytes) {
			EXPECT_EQ(memcmp(bytes, c.bytes, c.count), 0) << c.text;
		}
	}
	// In place, as a word is, across blocks; a non-digit in a later one.
	std::string word, want;
	for (int i = 0; i < 200; i++) {
		word += {"0123456789abcdef"[i % 16], "0123456789abcdef"[i / 16]};
		want += static_cast<char>((i % 16) << 4 | i / 16);
	}
	uint8_t *in_place = reinterpret_cast<uint8_t *>(&word[0]);
	EXPECT_TRUE(decode_hex(word.c_str(), 200, in_place));
	EXPECT_EQ(word.substr(0, 200), want);
	word.replace(0, 200, 200, '0');
	word[301] = 'x';
	EXPECT_FALSE(decode_hex(word.c_str(), 200, in_place));
}

TEST(EntryRoutine, UsageWithoutAProgramName)
{
	// execve may pass no words at all; word 0 is then a null pointer.
	char *no_words[] = {nullptr};
	testing::internal::CaptureStdout();
	bitmend_main(0, no_words, nullptr, false);
	std::string output = testing::internal::GetCapturedStdout();
	EXPECT_NE(output.find("\nUsage: bitmend InputFile.bin Address Length "
	                      "HexNumber\n"),
	          std::string::npos)
		<< output;
}

// The process's entry, as the tool's own process runs it.
int bitmend_posix_main(int argc, char **argv);

TEST(EntryRoutine, NoReadOfOneRunServesAnother)
{
	// The tool runs once a process, yet a later run in it, as the fuzz target
	// makes, must read its own old bytes: "z", not the "d" a list read before.
	char path[] = "/tmp/bitmend-unit-XXXXXX";
	close(mkstemp(path));
	std::string report;
	for (const char *run : {"abcd\0" "0 41\n2 42\n", "wxyz\0" "3 43\n"}) {
		FILE *file = fopen(path, "wb"), *list = tmpfile();
		fputs(run, file);
		fclose(file);
		fputs(run + 5, list);
		rewind(list);
		int input = dup(STDIN_FILENO);
		dup2(fileno(list), STDIN_FILENO);
		char *words[] = {const_cast<char *>("bitmend"), path, const_cast<char *>("-"),
		                 const_cast<char *>("-"), const_cast<char *>("-"), nullptr};
		testing::internal::CaptureStdout();
		bitmend_posix_main(5, words);
		report = testing::internal::GetCapturedStdout();
		dup2(input, STDIN_FILENO);
		close(input);
		fclose(list);
	}
	unlink(path);
	EXPECT_NE(report.find("(0).Offset 0x3:  [0x7a]->[0x43]...OK"), std::string::npos) << report;
}

TEST(ReportBytes, CountersCarryLikePrintf)
{
	// Index and offset are counted up as digits; each carry must agree
	// with printf's conversion.
	struct Case {
		uint32_t index;
		uint64_t offset;
	} cases[] = {
		{0, 0}, {8, 0xe}, {98, 0xfe}, {999998, 0xffffe}, {5, 0x9},
		{2147483645, 0x7ffffffd}, {1, 0xfffffff}, {0x7ffffffd, 0x19},
		{0, 0xfffffffe}, {7, 0xffffffffffffe}, {0, 0x7ffffffffffffffd},
	};
	const uint8_t old_bytes[3] = {0x00, 0x0f, 0xff};
	const uint8_t new_bytes[3] = {0x10, 0xa0, 0x01};
	for (const Case &c : cases) {
		std::string want;
		for (uint32_t i = 0; i < 3; i++) {
			char line[80];
			snprintf(line, sizeof line,
			         "(%u).Offset 0x%llx:  [0x%x]->[0x%x]...OK\n", c.index + i,
			         static_cast<unsigned long long>(c.offset + i),
			         unsigned{old_bytes[i]},
			         unsigned{new_bytes[i]});
			want += line;
		}
		testing::internal::CaptureStdout();
		report_bytes(c.index, c.offset, old_bytes, new_bytes, 3, true);
		flush_report();
		EXPECT_EQ(testing::internal::GetCapturedStdout(), want)
			<< "index " << c.index << " offset " << c.offset;
	}
}

TEST(ReportBytes, TheLongestLinesAtTheEndOfTheBlock)
{
	// A Seeking line or a byte line that starts in the last bytes of the
	// report's 64 KiB block goes out whole, after what came before.
	const uint8_t byte = 0xff;
	for (size_t left : {1, 29, 44, 61, 79}) {
		std::string filler(65536 - left, 'x');
		testing::internal::CaptureStdout();
		report({filler.c_str(), takes::nothing, ""});
		report_seeking(0x7ffffffffffffffe);
		flush_report();
		report({filler.c_str(), takes::nothing, ""});
		report_bytes(2147483646, 0x7ffffffffffffffe, &byte, &byte, 1, true);
		flush_report();
		EXPECT_EQ(testing::internal::GetCapturedStdout(),
		          filler + "\nSeeking To 0x7ffffffffffffffe, Patching...\n\n" +
		                  filler +
		                  "(2147483646).Offset 0x7ffffffffffffffe:  "
		                  "[0xff]->[0xff]...OK\n")
			<< left << " bytes left";
	}
}

TEST(Report, NamesAndNumbers)
{
	// A name shows each control character, NEL, LS and PS as '?', so that
	// it adds no line of its own.
	struct Case {
		message said;
		const char *text;
		uint64_t number;
		const char *want;
	} cases[] = {
		{messages::cant_open, "a b", 0, "\nCan't Open a b!\n"},
		{messages::cant_open, "x!\n\nDone", 0, "\nCan't Open x!??Done!\n"},
		{messages::cant_hold, "\r\x1b[2K\t\x7f\x01" "caf\xc3\xa9", 0,
		 "\nCan't Hold ??[2K???caf\xc3\xa9!\n"},
		{messages::cant_open, "a\xc2\x85" "b\xe2\x80\xa8" "c\xe2\x80\xa9" "d\xe2\x80\xaa\xc2",
		 0, "\nCan't Open a?b?c?d\xe2\x80\xaa\xc2!\n"},
		{messages::cant_read, nullptr, 0x7fffffff, "\nCan't Read 0x7fffffff!\n"},
		{messages::cant_write, nullptr, 0x7fffffffffffffff,
		 "\nCan't Write 0x7fffffffffffffff!\n"},
		{messages::overlap, nullptr, 0x100000000, "\nOverlap At 0x100000000!\n"},
		{messages::mismatch_at, nullptr, 0, "\nMismatch At 0x0"},
		{messages::address_error_at, nullptr, 10, "\nAddress Error At Line 10!\n"},
		{messages::hex_error, nullptr, 10, "\nHexNumber Error!\n"},
	};
	for (const Case &c : cases) {
		testing::internal::CaptureStdout();
		if (c.text)
			report(c.said, c.text);
		else
			report(c.said, c.number);
		flush_report();
		EXPECT_EQ(testing::internal::GetCapturedStdout(), c.want) << c.said.text;
	}
}

// Standard input as a row gives it: text, at most chunk characters a read.
static std::string source_text;
static size_t source_at, source_chunk;

static int32_t from_string(uint8_t *bytes, uint32_t count)
{
	size_t part = std::min({size_t{count}, source_chunk,
	                        source_text.size() - source_at});
	memcpy(bytes, source_text.data() + source_at, part);
	source_at += part;
	return static_cast<int32_t>(part);
}

// What the reader makes of text: the refusal as printed, or each range as
// ADDRESS+LENGTH=BYTES, OLD and NEW parted by ':'.
static std::string read_text(const std::string &text, size_t chunk,
                             const patch_range *given)
{
	source_text = text, source_at = 0, source_chunk = chunk;
	patch_range *ranges = nullptr;
	uint8_t *pool = nullptr;
	size_t count = 0;
	refusal refused = read_ranges(from_string, given, &ranges, &count, &pool);
	testing::internal::CaptureStdout();
	if (refused.said)
		report(*refused.said, refused.number);
	flush_report();
	std::string read = testing::internal::GetCapturedStdout();
	for (size_t r = 0; !refused.said && r < count; r++) {
		const patch_range &range = ranges[r];
		read += std::to_string(range.address) + "+" +
		        std::to_string(range.length) + "=";
		for (uint32_t i = 0; i < range.length * (range.has_old ? 2 : 1); i++)
			read += (i == range.length ? ":" : "") +
			        std::string{"0123456789abcdef"[pool[range.at + i] >> 4],
			                    "0123456789abcdef"[pool[range.at + i] & 15]};
		read += " ";
	}
	free(ranges);
	free(pool);
	return read;
}

TEST(ReadRanges, EveryBlockBoundary)
{
	// Each row read whole and in blocks of 1, 2 and 3 characters, so that
	// a block ends at every place of it. A CR stands only before a line
	// feed in a list, and a blank never splits a pair there; - drops white
	// space anywhere.
	auto at_line = [](const char *what, int line) {
		return "\n" + std::string(what) + " Line " + std::to_string(line) + "!\n";
	};
	const std::string hex_at = at_line("HexNumber Error At", 1),
	                  address_at = at_line("Address Error At", 1),
	                  range_at = at_line("Address Out Of Range At", 1);
	const patch_range two = {5, 2, false, 0};
	std::string many, all;
	for (int i = 0; i < 3000; i++) { // more lines than the first room for them
		many += std::to_string(2 * i) + " 7f\n";
		all += std::to_string(2 * i) + "+1=7f ";
	}
	struct Case {
		std::string text, want;
		const patch_range *given;
	} cases[] = {
		{"0 41 42 4344\n\n# c\r\n007\t4f:5a\r\n", "0+4=41424344 7+1=4f:5a ", nullptr},
		{"4 45\r10 4b\r\n", hex_at, nullptr},
		{"5 121 105\n", hex_at, nullptr},
		{"0 4 1\n", hex_at, nullptr},
		{"2 12 1:3\n", hex_at, nullptr},
		{"7 57 # x\r8 58\n", hex_at, nullptr},
		{"# x\r8 58\n", hex_at, nullptr},
		{"0 41\r", hex_at, nullptr},
		{"0 41\n\r", at_line("Address Error At", 2), nullptr},
		{"1\r2 41\n", address_at, nullptr},
		{"0 41\n 12\n", at_line("HexNumber Error At", 2), nullptr},
		{"0 41\n1\n", at_line("HexNumber Error At", 2), nullptr},
		{"0 4#1\n", hex_at, nullptr},
		{"0 41::42\n", hex_at, nullptr},
		{"0 41:4243\n", hex_at, nullptr},
		{"18446744073709551617 41\n", range_at, nullptr},
		{"9223372036854775808 zz\n", range_at, nullptr},
		{"9223372036854775807 41\n", "9223372036854775807+1=41 ", nullptr},
		{"9223372036854775807 4142\n", range_at, nullptr},
		{"0 41\n2 4", at_line("List Ends Inside", 2), nullptr},
		{"0 41 # all", at_line("List Ends Inside", 1), nullptr},
		{"0 41\n# all", "0+1=41 ", nullptr},
		{"# 5 ff\n16 0120:abcd\n", "16+2=0120:abcd ", nullptr},
		{"+1 00\n", address_at, nullptr},
		{"\n0 00\n9223372036854775807 0000\n", at_line("Address Out Of Range At", 3), nullptr},
		{"12 # none\n", hex_at, nullptr},
		{"12 abc\n", hex_at, nullptr},
		{"12 ab:cdef\n", hex_at, nullptr},
		{"12 ab:cd:\n", hex_at, nullptr},
		{"  40", at_line("List Ends Inside", 1), nullptr},
		{"0x1c 41\n0X00aB 42\n0x7fffffffffffffff 43\n",
		 "28+1=41 171+1=42 9223372036854775807+1=43 ", nullptr},
		{"0x 41\n", address_at, nullptr}, {"0x\n", address_at, nullptr},
		{"0x1c#c\n", address_at, nullptr}, {"0xg 41\n", address_at, nullptr},
		{"00x7 41\n", address_at, nullptr}, {"1x7 41\n", address_at, nullptr},
		{"x7 41\n", address_at, nullptr}, {"0x10\n", hex_at, nullptr},
		{"0x8000000000000000 41\n", range_at, nullptr},
		{"0x10000000000000000 41\n", range_at, nullptr},
		{"0 41\n0x", at_line("List Ends Inside", 2), nullptr},
		{"0 41:42 \n0 4142:43 44\n", "0+1=41:42 0+2=4142:4344 ", nullptr},
		{"0 41\t42\v43\f44\n", "0+4=41424344 ", nullptr},
		{std::string("# \0\n0 41 # \0\n", 13), "0+1=41 ", nullptr},
		{many, all, nullptr},
		{"4 1 \r\n4\n2#", "\nHexNumber Error!\n", &two},
		{"4 1 \r\n4\n2", "5+2=4142 ", &two},
		{"41\n4\r2:4 34 4", "5+2=4142:4344 ", &two},
		{"4142 \n :4344", "5+2=4142:4344 ", &two},
		{"41:4344", "\nHexNumber Error!\n", &two},
		{"41:43", "\nHexNumber Error!\n", &two},
		{"41", "\nNeed More HexNumber!\n", &two},
		{"4142:43", "\nNeed More HexNumber!\n", &two},
		{"41 4x", "\nHexNumber Error!\n", &two},
		{"4142:4344:", "\nHexNumber Error!\n", &two},
		{"414243", "\nHexNumber Error!\n", &two},
	};
	for (const Case &c : cases)
		for (size_t chunk : {size_t{1} << 16, size_t{1}, size_t{2}, size_t{3}})
			EXPECT_EQ(read_text(c.text, chunk, c.given), c.want)
				<< "'" << c.text.substr(0, 40) << "' in blocks of " << chunk;
}
