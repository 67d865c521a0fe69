// The library's own entry point: all work is reached through the library's
// class and free functions, so there is nothing to do here.
int main() { return 0; }
