#include "driver/cli.h"

int main(int argc, char** argv) { return longdup::cli_main(argc, argv); }
