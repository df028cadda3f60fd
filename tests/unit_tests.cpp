#include "bitmend.h"

#include <gtest/gtest.h>

#include <cstdio>
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

TEST(ReadDecimal32, Table)
{
	struct Case {
		const char *text;
		int32_t value;
	} cases[] = {
		{"0", 0}, {"16", 16}, {"+16", 16}, {"-16", -16}, {"  \t\n42", 42},
		{"2x", 2}, {"0x100", 0}, {"abc", 0}, {"", 0}, {"-", 0}, {"+-1", 0},
		{"4096", 4096}, {" - 5", 0}, {"007", 7}, {"1 2", 1},
		{"2147483647", INT32_MAX}, {"2147483648", INT32_MAX},
		{"99999999999999999999999", INT32_MAX},
		{"-2147483648", INT32_MIN}, {"-2147483649", INT32_MIN},
		{"-99999999999999999999999", INT32_MIN},
		{"4294967296", INT32_MAX}, {"-4294967297", INT32_MIN},
	};
	for (const Case &c : cases)
		EXPECT_EQ(read_decimal32(c.text), c.value) << "text '" << c.text << "'";
}

TEST(HasEnoughHex, AroundTheWrapOfTwiceLength)
{
	struct Case {
		size_t count;
		int32_t length;
		bool enough;
	} cases[] = {
		{0, 0, true}, {4, 2, true}, {6, 2, true}, {4, 3, false},
		{2, 1, true}, {0, 1, false},
		// -1 to -1073741824 double to 2^31 or more, unsigned.
		{0, -1, false}, {1000, -1, false}, {0, -1073741824, false},
		{2147483646, -1073741824, false},
		// -2^31 + k doubles to 2k.
		{0, INT32_MIN, true}, {0, INT32_MIN + 1, false},
		{2, INT32_MIN + 1, true}, {2147483646, INT32_MIN + 1073741823, true},
		{2147483644, INT32_MIN + 1073741823, false},
		{0, 1073741824, false}, {2147483646, 1073741824, false},
		{0, INT32_MAX, false},
	};
	for (const Case &c : cases)
		EXPECT_EQ(has_enough_hex(c.count, c.length), c.enough)
			<< "count " << c.count << " length " << c.length;
}

TEST(EntryRoutine, UsageWithoutAProgramName)
{
	// execve may pass no words at all; word 0 is then a null pointer.
	char *no_words[] = {nullptr};
	testing::internal::CaptureStdout();
	int status = bitmend_main(0, no_words);
	std::string output = testing::internal::GetCapturedStdout();
	EXPECT_EQ(status, 0);
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
		uint32_t index, offset;
	} cases[] = {
		{0, 0}, {8, 0xe}, {98, 0xfe}, {999998, 0xffffe}, {5, 0x9},
		{2147483645, 0x7ffffffd}, {1, 0xfffffff}, {0x7ffffffd, 0x19},
	};
	const uint8_t old_bytes[3] = {0x00, 0x0f, 0xff};
	const uint8_t new_bytes[3] = {0x10, 0xa0, 0x01};
	for (const Case &c : cases) {
		std::string want;
		for (uint32_t i = 0; i < 3; i++) {
			char line[80];
			snprintf(line, sizeof line, "(%u).Offset 0x%x:  [0x%x]->[0x%x]...OK\n",
			         c.index + i, c.offset + i, unsigned{old_bytes[i]},
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

TEST(Report, FormatsWithAndWithoutAConversion)
{
	// A format without a conversion, or ending in a lone %, prints as it
	// stands and never reads past its end.
	struct Case {
		const char *format, *text;
		uint32_t number;
		const char *want;
	} cases[] = {
		{"\nCan't Open %s!\n", "a b", 0, "\nCan't Open a b!\n"},
		{"\nCan't Read 0x%x!\n", nullptr, 0x7fffffff, "\nCan't Read 0x7fffffff!\n"},
		{"0x%x", nullptr, 0, "0x0"},
		{"no conversion", "x", 0, "no conversion"},
		{"no conversion", nullptr, 5, "no conversion"},
		{"lone %", "x", 0, "lone x"},
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
