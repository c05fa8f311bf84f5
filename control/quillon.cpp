// quillon: a multicast beacon.
int main() { return 255; }
