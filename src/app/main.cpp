#include <cstdio>

int main() {
    std::fprintf(stderr, "wellspire-agent: the desktop layer is not built yet; nothing to run.\n");
    return 1;
}
