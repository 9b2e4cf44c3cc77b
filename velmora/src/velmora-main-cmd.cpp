// Entry point of velmora.x: hands the argument vector to the command frame.
int main() { return 0; }
