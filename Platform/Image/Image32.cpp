// Linked into an executable that is a 32-bit program on Windows (the service, and the tests that
// run as one), so that the simulated machine runs it under WOW64.
extern "C" int TarvikImageBits() {
    return 32;
}
