// The Windows layer's decisions on names, as tables run under Wine or
// Windows: which names are refused before anything is opened, and which
// path goes to CreateFileW.
#define wmain bitmend_wmain
#include "../src/win32.cpp"

#include <cstdio>

int main()
{
	int passed = 0, failed = 0;
	auto expect = [&](bool holds, const std::wstring &what) {
		holds ? passed++ : failed++;
		if (!holds)
			printf("FAIL %ls\n", what.c_str());
	};

	// Whether the \\?\ form is needed goes by the full path, 260
	// characters with its terminating zero.
	std::wstring folder = L"C:\\" + std::wstring(250, L'd') + L"\\";
	struct {
		std::wstring path, full;
		bool verbatim;
	} lengths[] = {
		{L"a.bin", folder + L"a.bin", false},    // 259
		{L"ab.bin", folder + L"ab.bin", true},   // 260
		{L"abc.bin", folder + L"abc.bin", true}, // 261
		{folder + L"abc.bin", folder + L"abc.bin", true},
		{L"\\\\s\\h\\" + std::wstring(260, L'x'),
		 L"\\\\s\\h\\" + std::wstring(260, L'x'), true},
		{L"\\\\?\\" + folder + L"abc.bin", L"", false},
	};
	for (const auto &c : lengths) {
		std::wstring name = openable_path(c.path, c.full);
		bool verbatim = name != c.path;
		expect(verbatim == c.verbatim &&
		               (!verbatim || name.compare(0, 4, L"\\\\?\\") == 0),
		       L"the path for " + c.path.substr(0, 12) + L"… of " +
		               std::to_wstring(c.full.size()) + L" characters: " +
		               name.substr(0, 12));
	}
	expect(openable_path(L"x", L"\\\\s\\h\\" + std::wstring(260, L'x'))
	                       .compare(0, 8, L"\\\\?\\UNC\\") == 0,
	       L"a long share path becomes \\\\?\\UNC\\");

	// Refused by name alone, or passed on.
	struct {
		const wchar_t *path;
		bool refused;
	} names[] = {
		{L"\\\\server\\pipe\\x", true},
		{L"\\\\localhost\\PIPE\\x", true},
		{L"//server/pipe/x", true},
		{L"\\\\?\\UNC\\server\\pipe\\x", true},
		{L"\\\\server\\mailslot\\x", true},
		{L"\\\\?\\UNC\\server\\MailSlot\\x", true},
		{L"\\\\.\\pipe\\x", true},
		{L"\\\\server\\pipes\\x", false},
		{L"\\\\server\\share\\pipe\\x", false},
		{L"s.bin.", true},
		{L"s.bin ", true},
		{L"s.bin. .", true},
		{L"s.bin...", true},
		{L"dir.\\s.bin", true},
		{L"dir \\s.bin", true},
		{L".\\s.bin", false},
		{L"..\\s.bin", false},
		{L"s.bin", false},
		{L"\\\\?\\C:\\s.bin.", false},
		{L"COM1", true},
		{L"nul.txt", true},
		{L"\\\\.\\C:", true},
		{L"\\\\?\\GLOBALROOT\\Device\\Null", true},
	};
	for (const auto &c : names)
		expect(name_to_open(c.path).empty() == c.refused,
		       std::wstring(c.path) +
		               (c.refused ? L" is refused" : L" is passed on"));

	printf("%d passed, %d failed\n", passed, failed);
	return failed ? 1 : 0;
}
