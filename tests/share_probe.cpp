// A second Windows process for the sharing tests.
//   share_probe FILE hold: opens FILE letting others read and write, says
//                          "held", keeps it until standard input closes.
//   share_probe FILE try:  says "opened" or "denied".
#include <cstdio>
#include <cstring>
#include <windows.h>

int main(int argc, char *argv[])
{
	if (argc != 3)
		return 2;
	HANDLE file = CreateFileA(argv[1], GENERIC_READ,
	                          FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
	                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
	if (strcmp(argv[2], "try") == 0) {
		puts(file == INVALID_HANDLE_VALUE ? "denied" : "opened");
		return 0;
	}
	if (file == INVALID_HANDLE_VALUE)
		return 1;
	puts("held");
	fflush(stdout);
	while (getchar() != EOF)
		;
	CloseHandle(file);
	return 0;
}
