/* The floor for a process start: a statically linked program that exits 0. */
int main(void) { return 0; }
