#include "bitmend.h"

int main(int argc, char *argv[])
{
	const char *path = argc > 1 ? argv[1] : nullptr;
	prepare_process(path);
	return bitmend_main(argc, argv, path);
}
