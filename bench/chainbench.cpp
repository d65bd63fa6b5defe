// The whole chain on an IQ file, with the plain or the fast kernels.
// usage: chainbench plain|fast FILE
#include "feed.h"

int main(int argc, char **argv) { return argc == 3 ? feedFile(argv[1], argv[2]) : 2; }
