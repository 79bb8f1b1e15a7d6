#include "converter.h"

int main(int argc, char** argv) { return datmos::runConversion(argc, argv); }
