#include "bitmend.h"

int main(int argc, char *argv[])
{
	prepare_process();
	return bitmend_main(argc, argv);
}
