// Decodes the recorded link messages a given number of times, for
// valgrind --tool=callgrind to count instructions: the difference between
// two counts divided by the difference in decoded messages is the cost of
// one message, free of start-up.
//   netlib_bench_decode_count REPEATS [link|address]
#include <pelk_network_utils_core.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "corpus.h"

int main(int argc, char** argv)
{
    const long repeats = argc > 1 ? std::atol(argv[1]) : 1000;
    const bool address = argc > 2 && std::strcmp(argv[2], "address") == 0;
    bench::Corpus corpus;
    if (!corpus.load(bench::default_corpus_dir())) {
        std::fprintf(stderr, "no recorded messages\n");
        return 1;
    }
    std::vector<bench::Message> chosen;
    for (const bench::Message& m : corpus.messages)
        if (address ? m.is_address() : m.is_link())
            chosen.push_back(m);
    pelk::network::event_list events;
    long decoded = 0;
    for (long r = 0; r < repeats; ++r) {
        for (bench::Message& m : chosen)
            decoded += nl_event_callback(m.header(), events) == 0;
        events.clear();
    }
    std::printf("%ld %zu\n", decoded, chosen.size());
    return 0;
}
