/* The smallest program that gives the linker a PDB to write. */
int main(void) { return 0; }
