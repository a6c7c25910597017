// File, writeProc, randomAlphaNumericString and the logger.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pelk/host.h>
#include <pelk/log.h>
#include <pelk/utils.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace
{

class TempDir
{
public:
    TempDir()
    {
        char tmpl[] = "/tmp/pelk_host_file.XXXXXX";
        const char* made = ::mkdtemp(tmpl);
        path_ = made ? made : "";
    }
    ~TempDir()
    {
        if (!path_.empty())
            pelk::utils::sysExecSimple("/bin/rm", {"-rf", path_});
    }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

std::string read_text(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void write_text(const std::string& path, const std::string& text)
{
    std::ofstream(path) << text;
}

bool exists(const std::string& path)
{
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

std::size_t open_descriptor_count()
{
    std::size_t n = 0;
    for (int fd = 0; fd < 1024; ++fd)
        n += ::fcntl(fd, F_GETFD) != -1;
    return n;
}

class UmaskGuard
{
public:
    explicit UmaskGuard(mode_t mask) : old_(::umask(mask)) {}
    ~UmaskGuard() { ::umask(old_); }

private:
    mode_t old_;
};

TEST(HostFile, WriteModeCreatesWithMode0644WhateverTheUmask)
{
    TempDir dir;
    const std::string path = dir.file("resolv.conf");
    UmaskGuard umask_077(077);
    pelk::utils::File f;
    ASSERT_NE(f.Initialize(path, pelk::utils::FILE_OPEN_WRITE, 0), 0);
    EXPECT_TRUE(f.IsOpen());
    EXPECT_NE(f.WriteString("nameserver 10.0.0.1\n"), 0);
    EXPECT_NE(f.WriteString(""), 0);
    EXPECT_NE(f.WriteString("search lan\n"), 0);
    EXPECT_NE(f.Close(), 0);
    EXPECT_FALSE(f.IsOpen());
    struct stat st;
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    EXPECT_EQ(read_text(path), "nameserver 10.0.0.1\nsearch lan\n");
}

TEST(HostFile, WriteModeTruncatesAndFixesTheMode)
{
    TempDir dir;
    const std::string path = dir.file("old");
    write_text(path, "a much longer previous content\n");
    ASSERT_EQ(::chmod(path.c_str(), 0600), 0);
    pelk::utils::File f;
    ASSERT_NE(f.Initialize(path, pelk::utils::FILE_OPEN_WRITE, 0), 0);
    ASSERT_NE(f.WriteString("new\n"), 0);
    ASSERT_NE(f.Close(), 0);
    EXPECT_EQ(read_text(path), "new\n");
    struct stat st;
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
}

TEST(HostFile, SymbolicLinksAreNotFollowed)
{
    TempDir dir;
    const std::string target = dir.file("target");
    const std::string link = dir.file("link");
    write_text(target, "precious\n");
    ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
    const pelk::utils::FILE_OPEN_MODE modes[] = {pelk::utils::FILE_OPEN_WRITE, pelk::utils::FILE_OPEN_APPEND,
                                                 pelk::utils::FILE_OPEN_READ};
    for (auto mode : modes) {
        pelk::utils::File f;
        EXPECT_EQ(f.Initialize(link, mode, 0), 0) << "mode " << mode;
        EXPECT_FALSE(f.IsOpen());
    }
    EXPECT_EQ(read_text(target), "precious\n");

    const std::string dangling = dir.file("dangling");
    ASSERT_EQ(::symlink(dir.file("nowhere").c_str(), dangling.c_str()), 0);
    pelk::utils::File f;
    EXPECT_EQ(f.Initialize(dangling, pelk::utils::FILE_OPEN_WRITE, 0), 0);
    EXPECT_FALSE(exists(dir.file("nowhere"))) << "a dangling link let us create its target";
}

TEST(HostFile, AppendAndReadModes)
{
    TempDir dir;
    const std::string path = dir.file("log");
    {
        pelk::utils::File f;
        ASSERT_NE(f.Initialize(path, pelk::utils::FILE_OPEN_APPEND, 0), 0) << "append creates";
        ASSERT_NE(f.WriteString("one\n"), 0);
        ASSERT_NE(f.Close(), 0);
        ASSERT_NE(f.Initialize(path, pelk::utils::FILE_OPEN_APPEND, 0), 0);
        ASSERT_NE(f.WriteString("two\n"), 0);
        ASSERT_NE(f.Close(), 0);
    }
    EXPECT_EQ(read_text(path), "one\ntwo\n");

    pelk::utils::File r;
    ASSERT_NE(r.Initialize(path, pelk::utils::FILE_OPEN_READ, 0), 0);
    EXPECT_EQ(r.WriteString("x"), 0) << "a read-only file takes no text";
    EXPECT_NE(r.Close(), 0);
    EXPECT_EQ(r.Initialize(dir.file("missing"), pelk::utils::FILE_OPEN_READ, 0), 0);
    EXPECT_FALSE(exists(dir.file("missing")));
    EXPECT_EQ(read_text(path), "one\ntwo\n");
}

TEST(HostFile, MisuseIsRefused)
{
    TempDir dir;
    pelk::utils::File f;
    EXPECT_EQ(f.WriteString("x"), 0);
    EXPECT_EQ(f.Close(), 0);
    EXPECT_EQ(f.Initialize(dir.file("x"), static_cast<pelk::utils::FILE_OPEN_MODE>(7), 0), 0);
    EXPECT_EQ(f.Initialize(dir.file("no/such/dir"), pelk::utils::FILE_OPEN_WRITE, 0), 0);
    ASSERT_NE(f.Initialize(dir.file("x"), pelk::utils::FILE_OPEN_WRITE, 0), 0);
    EXPECT_NE(f.Close(), 0);
    EXPECT_EQ(f.Close(), 0) << "closed twice";
}

TEST(HostFile, DescriptorsAreReleased)
{
    TempDir dir;
    const std::size_t before = open_descriptor_count();
    {
        pelk::utils::File f;
        ASSERT_NE(f.Initialize(dir.file("a"), pelk::utils::FILE_OPEN_WRITE, 0), 0);
        ASSERT_NE(f.Initialize(dir.file("b"), pelk::utils::FILE_OPEN_WRITE, 0), 0);
        EXPECT_EQ(open_descriptor_count(), before + 1) << "a second Initialize keeps the first file open";
        ASSERT_NE(f.WriteString("b"), 0);
    }
    EXPECT_EQ(open_descriptor_count(), before) << "the destructor leaves a file open";
    EXPECT_EQ(read_text(dir.file("b")), "b");
}

TEST(HostProc, WritesIntoAnExistingFileOnly)
{
    TempDir dir;
    const std::string path = dir.file("ip_forward");
    write_text(path, "");
    EXPECT_NE(writeProc(path, "1"), 0);
    EXPECT_EQ(read_text(path), "1");
    const std::string big(100000, 'z');
    EXPECT_NE(writeProc(path, big), 0);
    EXPECT_EQ(read_text(path), big);

    EXPECT_EQ(writeProc(dir.file("missing"), "1"), 0);
    EXPECT_FALSE(exists(dir.file("missing"))) << "writeProc created a file";
    EXPECT_EQ(writeProc("/proc/self/nonexistent-entry", "1"), 0);
}

TEST(HostRandom, LengthAndAlphabet)
{
    EXPECT_EQ(pelk::utils::randomAlphaNumericString("", 0), "");
    const std::string a = pelk::utils::randomAlphaNumericString("", 2000);
    ASSERT_EQ(a.size(), 2000u);
    std::set<char> seen(a.begin(), a.end());
    for (char c : seen)
        EXPECT_TRUE((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) << c;
    EXPECT_EQ(seen.size(), 62u) << "2000 draws should show every one of 62 characters";
    EXPECT_NE(pelk::utils::randomAlphaNumericString("", 32), pelk::utils::randomAlphaNumericString("", 32));

    const std::string b = pelk::utils::randomAlphaNumericString("xyz", 300);
    ASSERT_EQ(b.size(), 300u);
    EXPECT_EQ(std::set<char>(b.begin(), b.end()), (std::set<char>{'x', 'y', 'z'}));
}

// Collects the logger's lines instead of stderr.
std::vector<std::string>& captured()
{
    static std::vector<std::string> lines;
    return lines;
}

void capture(int, const char* line, std::size_t length)
{
    captured().emplace_back(line, length);
}

class HostLog : public ::testing::Test
{
protected:
    void SetUp() override
    {
        captured().clear();
        pelk::host::set_log_sink(capture);
    }
    void TearDown() override
    {
        pelk::host::set_log_sink(nullptr);
        pelk::host::set_log_level(4);
    }
};

TEST_F(HostLog, OneLineWithLevelPlaceAndErrorText)
{
    errno = EAGAIN;
    logInternal("pelk_network_utils_core", "netlib_iface.cpp", "do_ioctl", 42, PELK_LOG_ERR, ENODEV, 0,
                "ioctl on \"%s\" failed", "eth9");
    EXPECT_EQ(errno, EAGAIN) << "logging changed errno";
    logInternal("mod", "unit.cpp", "choose", 7, PELK_LOG_NOTICE, 0, 0, "two\nlines");
    ASSERT_EQ(captured().size(), 2u);
    EXPECT_EQ(captured()[0], "E3 pelk_network_utils_core netlib_iface.cpp:42 do_ioctl: ioctl on \"eth9\" failed: " +
                                 std::string(strerror(ENODEV)) + "\n");
    EXPECT_EQ(captured()[1], "N4 mod unit.cpp:7 choose: two lines\n");
}

TEST_F(HostLog, ThresholdSelectsLevels)
{
    logInternal("m", "f", "fn", 1, 5, 0, 0, "info");
    pelk::host::set_log_level(3);
    logInternal("m", "f", "fn", 1, PELK_LOG_NOTICE, 0, 0, "notice");
    logInternal("m", "f", "fn", 1, PELK_LOG_ERR, 0, 0, "error");
    ASSERT_EQ(captured().size(), 1u);
    EXPECT_NE(captured()[0].find("error"), std::string::npos);
    EXPECT_EQ(pelk::host::log_level(), 3);
}

TEST_F(HostLog, WritesWholeLinesToStandardError)
{
    pelk::host::set_log_sink(nullptr);
    TempDir dir;
    const std::string path = dir.file("stderr");
    int file = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(file, 0);
    int saved = ::dup(STDERR_FILENO);
    ::dup2(file, STDERR_FILENO);
    ::close(file);

    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < 200; ++i)
                logInternal("m", "f.cpp", "worker", t, PELK_LOG_ERR, 0, 0, "thread %d message %d %s", t, i,
                            std::string(200, static_cast<char>('a' + t)).c_str());
        });
    for (auto& th : threads)
        th.join();
    ::dup2(saved, STDERR_FILENO);
    ::close(saved);

    std::istringstream in(read_text(path));
    std::string line;
    int count = 0;
    while (std::getline(in, line)) {
        ++count;
        ASSERT_EQ(line.compare(0, 10, "E3 m f.cpp"), 0) << line;
        char letter = line.back();
        EXPECT_EQ(line.substr(line.size() - 200), std::string(200, letter)) << "interleaved: " << line;
    }
    EXPECT_EQ(count, 800);
}

}  // namespace
