#include "corpus.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

namespace bench
{

namespace
{

bool ends_with(const std::string& s, const std::string& tail)
{
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

std::vector<std::string> bin_files(const std::string& dir)
{
    std::vector<std::string> names;
    DIR* d = opendir(dir.c_str());
    if (!d)
        return names;
    while (dirent* e = readdir(d)) {
        if (ends_with(e->d_name, ".bin"))
            names.emplace_back(e->d_name);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

// Splits a datagram into its messages, stopping at the first bad frame.
void split_messages(const Datagram& d, std::vector<Message>& out)
{
    std::size_t offset = 0;
    while (offset + sizeof(nlmsghdr) <= d.bytes.size()) {
        nlmsghdr h;
        std::memcpy(&h, d.bytes.data() + offset, sizeof h);
        if (h.nlmsg_len < sizeof h || h.nlmsg_len > d.bytes.size() - offset)
            return;
        Message m;
        m.source = d.name;
        m.words.resize((h.nlmsg_len + 3) / 4);
        std::memcpy(m.words.data(), d.bytes.data() + offset, h.nlmsg_len);
        if (m.is_link() || m.is_address())
            out.push_back(std::move(m));
        offset += NLMSG_ALIGN(h.nlmsg_len);
    }
}

}  // namespace

bool Corpus::load(const std::string& directory)
{
    dir = directory;
    for (const std::string& name : bin_files(directory)) {
        std::ifstream in(directory + "/" + name, std::ios::binary);
        Datagram d;
        d.name = name;
        d.bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        if (d.bytes.empty())
            continue;
        split_messages(d, messages);
        datagrams.push_back(std::move(d));
    }
    return !datagrams.empty() && !messages.empty();
}

std::string default_corpus_dir()
{
    if (const char* env = std::getenv("NETLIB_BENCH_CORPUS"))
        return env;
    const std::string tests = NETLIB_SOURCE_DIR "/tests/data/netlink";
    if (!bin_files(tests).empty())
        return tests;
    return NETLIB_SOURCE_DIR "/bench/data";
}

}  // namespace bench
