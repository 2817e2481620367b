// A stand-in extension for the process tests: reports its pid and waits to be stopped.
#include <unistd.h>

#include <cstdio>

int main() {
    std::printf("extension %d running\n", static_cast<int>(getpid()));
    std::fflush(stdout);
    for (;;)
        pause();
}
