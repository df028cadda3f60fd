#include "bitmend.h"

int main(int argc, char *argv[])
{
	prepare_process(argc > 1 ? argv[1] : nullptr);
	return bitmend_main(argc, argv);
}
