// Assertions of the fuzz targets: a broken rule prints what broke and aborts,
// which libFuzzer reports as a crash with its reproducer and the replay
// programs report as a failed test.
#ifndef NETLIB_FUZZ_CHECK_H
#define NETLIB_FUZZ_CHECK_H

#include <cstdio>
#include <cstdlib>
#include <string>

#define FUZZ_CHECK(cond, what)                                                               \
    do {                                                                                     \
        if (!(cond)) {                                                                       \
            std::fprintf(stderr, "%s:%d: check failed: %s: %s\n", __FILE__, __LINE__, #cond, \
                         std::string(what).c_str());                                         \
            std::abort();                                                                    \
        }                                                                                    \
    } while (0)

#endif
