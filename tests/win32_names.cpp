// The Windows layer's rule on names, as a table run under Wine or Windows:
// the path that CreateFileW gets for a typed name, or none where the name is
// refused before anything is opened. Relative names are read in C:\.
#define wmain bitmend_wmain
#include "../src/win32.cpp"

#include <cstdio>

int main()
{
	SetCurrentDirectoryW(L"C:\\");
	std::wstring deep = L"C:\\" + std::wstring(300, L'd') + L"\\s.bin";
	const wchar_t *volume = L"\\\\?\\Volume{01234567-89ab-cdef-0123-456789abcdef}";
	struct {
		std::wstring typed, opened; // opened empty: refused
	} names[] = {
		{L"s.bin", L"\\\\?\\C:\\s.bin"},
		{L".\\dir\\..\\s.bin", L"\\\\?\\C:\\s.bin"},
		{L"C:/dir/s.bin", L"\\\\?\\C:\\dir\\s.bin"},
		{deep, L"\\\\?\\" + deep},
		{L"dir.\\s.bin", L""},
		{L"dir \\s.bin", L""},
		{L"\\\\?\\C:\\s.bin.", L"\\\\?\\C:\\s.bin."},
		{L"\\\\?\\C:", L""},
		{L"\\\\.\\C:\\s.bin", L""},
		// Read as a folder named ?? on the drive, which no file system holds.
		{L"\\??\\C:\\s.bin", L"\\\\?\\C:\\??\\C:\\s.bin"},
		{L"\\\\server\\share\\s.bin", L"\\\\?\\UNC\\server\\share\\s.bin"},
		{L"//server/share/s.bin", L"\\\\?\\UNC\\server\\share\\s.bin"},
		{L"\\\\?\\UNC\\server\\share\\s.bin",
		 L"\\\\?\\UNC\\server\\share\\s.bin"},
		{L"\\\\server\\pipes\\x", L"\\\\?\\UNC\\server\\pipes\\x"},
		{L"\\\\server\\share\\pipe\\x", L"\\\\?\\UNC\\server\\share\\pipe\\x"},
		{L"\\\\server\\share", L""},
		{L"\\\\server\\pipe\\x", L""},
		{L"\\\\localhost\\PIPE\\x", L""},
		{L"//server/pipe/x", L""},
		{L"\\\\?\\UNC\\server\\pipe\\x", L""},
		{L"\\\\server\\mailslot\\x", L""},
		{L"\\\\?\\UNC\\server\\MailSlot\\x", L""},
		{L"\\\\.\\pipe\\x", L""},
		{std::wstring(volume) + L"\\s.bin", std::wstring(volume) + L"\\s.bin"},
		{volume, L""},
		{L"COM1", L""},
		{L"nul.txt", L""},
	};
	int passed = 0, failed = 0;
	for (const auto &c : names) {
		std::wstring opened = name_to_open(c.typed);
		if (opened == c.opened) {
			passed++;
		} else {
			failed++;
			printf("FAIL %ls: %ls, not %ls\n", c.typed.substr(0, 40).c_str(),
			       opened.substr(0, 40).c_str(), c.opened.substr(0, 40).c_str());
		}
	}
	printf("%d passed, %d failed\n", passed, failed);
	return failed ? 1 : 0;
}
