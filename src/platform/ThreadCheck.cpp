#include "platform/ThreadCheck.h"

#include <pthread.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/Platform.h"

namespace tevra {

void assertMainThread(const char* function) {
    if (!hasPlatform()) return;
    const std::shared_ptr<Dispatch>& dispatch = platform().dispatch;
    if (!dispatch || dispatch->isMainThread()) return;

    char name[32] = "";
    if (pthread_getname_np(pthread_self(), name, sizeof name) != 0) name[0] = '\0';
    const std::string line = "Main-thread check failed: " + std::string(function ? function : "?") +
                             " called on thread " + std::to_string(static_cast<long>(gettid())) +
                             (name[0] ? " (" + escapedForLog(name) + ")" : std::string());
    logSystem(line);
    std::fprintf(stderr, "TevraARWebGL: %s\n", line.c_str());
    std::fflush(stderr);
    std::abort();
}

}  // namespace tevra
