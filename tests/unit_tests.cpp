#include "bitmend.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

TEST(DecodeHexPair, Table)
{
	struct Case {
		const char *pair;
		int byte;
	} cases[] = {
		{"7f", 0x7f}, {"A0", 0xa0}, {"aB", 0xab}, {"00", 0x00}, {"fF", 0xff},
		{"09", 0x09}, {"90", 0x90}, {"FE", 0xfe}, {"10", 0x10}, {"01", 0x01},
		// No valid first digit survives an invalid second one, nor the reverse.
		{"G1", 0}, {"1G", 0}, {"g1", 0}, {"1g", 0}, {" 1", 0}, {"1 ", 0},
		{"-1", 0}, {"1-", 0}, {"0x", 0}, {"x0", 0}, {"/0", 0}, {":0", 0},
		{"@0", 0}, {"0@", 0}, {"`0", 0}, {"0`", 0}, {"\x80" "1", 0},
		{"1\xff", 0}, {"\xc1" "1", 0}, {"1\xe1", 0},
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
	bitmend_main(0, no_words, nullptr);
	std::string output = testing::internal::GetCapturedStdout();
	EXPECT_NE(output.find("\nUsage: bitmend InputFile.bin Address Length "
	                      "HexNumber\n"),
	          std::string::npos)
		<< output;
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
		report(filler.c_str());
		report_seeking(0x7ffffffffffffffe);
		flush_report();
		report(filler.c_str());
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
		const char *format, *text;
		uint64_t number;
		const char *want;
	} cases[] = {
		{"\nCan't Open %s!\n", "a b", 0, "\nCan't Open a b!\n"},
		{"\nCan't Open %s!\n", "x!\n\nDone", 0, "\nCan't Open x!??Done!\n"},
		{"\nCan't Hold %s!\n", "\r\x1b[2K\t\x7f\x01" "caf\xc3\xa9", 0,
		 "\nCan't Hold ??[2K???caf\xc3\xa9!\n"},
		{"\nCan't Open %s!\n", "a\xc2\x85" "b\xe2\x80\xa8" "c\xe2\x80\xa9" "d\xe2\x80\xaa\xc2",
		 0, "\nCan't Open a?b?c?d\xe2\x80\xaa\xc2!\n"},
		{"\nCan't Read 0x%x!\n", nullptr, 0x7fffffff, "\nCan't Read 0x7fffffff!\n"},
		{"\nCan't Write 0x%x!\n", nullptr, 0x7fffffffffffffff,
		 "\nCan't Write 0x7fffffffffffffff!\n"},
		{"0x%x", nullptr, 0x100000000, "0x100000000"},
		{"0x%x", nullptr, 0, "0x0"},
	};
	for (const Case &c : cases) {
		testing::internal::CaptureStdout();
		if (c.text)
			report(c.format, c.text);
		else
			report(c.format, c.number);
		flush_report();
		EXPECT_EQ(testing::internal::GetCapturedStdout(), c.want) << c.format;
	}
}
