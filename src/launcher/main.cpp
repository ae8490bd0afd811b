#include "launcher/entry.hpp"

int main(int argc, char** argv) { return brindlecast::launcher_main(argc, argv); }
