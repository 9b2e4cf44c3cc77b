// Entry point of ostrel.
int main() { return 0; }
