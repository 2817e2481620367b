#include "platform/foundation/FatalError.h"

#include <cstdio>
#include <cstdlib>

namespace velunto {

void fatalError(const char* message) {
    std::fputs(message, stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
    std::abort();
}

}  // namespace velunto
