// Resolver file replacement: the calls made on the host (fake files), and the
// real files in a throw-away root (forked child, private mount namespace,
// tmpfs holding etc/ and tmp/), never the machine's own /etc/resolv.conf.
#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include "netm_fixture.h"

using namespace pelk::network;
using netm_test::NetmTest;

namespace
{

const std::string PID = std::to_string(getpid());

std::string tmp_path(const std::string& random)
{
    return "/tmp/resolv.conf." + std::to_string(getpid()) + "." + random;
}

}  // namespace

TEST_F(NetmTest, DnsWritesOneLinePerEntryIntoATemporaryFileThenRenames)
{
    host().random_text = "Ab3dEf7hXYZ";
    const std::vector<std::string> ns{"10.0.0.1", " 10.0.0.2 ", "", "  ", "10.0.0.1"};
    EXPECT_TRUE(netlib_netm_configure_dns(&ctx, "eth0", ns, "lan example.com"));
    EXPECT_TRUE(host().logs.empty()) << ::testing::PrintToString(logs());

    const std::string path = tmp_path("Ab3dEf7h");
    const std::vector<fake::FileOp>& ops = host().file_ops;
    ASSERT_EQ(ops.size(), 9u);
    EXPECT_EQ(ops[0].op, "init");
    EXPECT_EQ(ops[0].path, path);
    EXPECT_EQ(ops[0].mode, 2);
    EXPECT_EQ(ops[0].flags, 0u);
    const std::vector<std::string> lines{"search lan example.com\n", "nameserver 10.0.0.1\n",
                                         "nameserver  10.0.0.2 \n",  "nameserver \n",
                                         "nameserver   \n",          "nameserver 10.0.0.1\n"};
    for (size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(ops[1 + i].op, "write");
        EXPECT_EQ(ops[1 + i].text, lines[i]);
    }
    EXPECT_EQ(ops[7].op, "close");
    EXPECT_EQ(ops[8].op, "destroy");
    ASSERT_EQ(renames.size(), 1u);
    EXPECT_EQ(renames[0].first, path);
    EXPECT_EQ(renames[0].second, "/etc/resolv.conf");

    // Blank entries are accepted unvalidated; the others are validated trimmed.
    std::vector<std::string> validated;
    for (const fake::ValidateCall& v : host().validations) {
        EXPECT_EQ(v.function, "ipv4_address_valid");
        EXPECT_FALSE(v.flag1);
        EXPECT_FALSE(v.flag2);
        validated.push_back(v.text);
    }
    EXPECT_EQ(validated, (std::vector<std::string>{"10.0.0.1", "10.0.0.2", "10.0.0.1"}));
}

TEST_F(NetmTest, DnsEmptyInputWritesNothingButStillReplaces)
{
    EXPECT_TRUE(netlib_netm_configure_dns(&ctx, "eth0", {}, ""));
    ASSERT_EQ(host().file_ops.size(), 3u);
    EXPECT_EQ(host().file_ops[1].op, "close");
    EXPECT_EQ(renames.size(), 1u);
}

TEST_F(NetmTest, DnsEveryCallUsesAFreshName)
{
    EXPECT_TRUE(netlib_netm_configure_dns(&ctx, "eth0", {}, ""));
    EXPECT_TRUE(netlib_netm_configure_dns(&ctx, "eth0", {}, ""));
    ASSERT_EQ(renames.size(), 2u);
    EXPECT_NE(renames[0].first, renames[1].first);
    EXPECT_EQ(renames[0].first.rfind("/tmp/resolv.conf." + PID + ".", 0), 0u);
    EXPECT_EQ(renames[0].first.size(), ("/tmp/resolv.conf." + PID + ".").size() + 8);
}

TEST_F(NetmTest, DnsRefusalsHappenBeforeAnyFile)
{
    struct Row {
        std::vector<std::string> ns;
        std::string search, message;
    };
    const Row rows[] = {
        {{"10.0.0.1", " 10.0.0.x", "10.0.0.2"}, "", "Invalid nameserver ' 10.0.0.x'"},
        {{"10.0.0.1", "10.0.0.2\nnameserver 6.6.6.6"}, "", "Invalid nameserver '10.0.0.2\nnameserver 6.6.6.6'"},
        {{"10.0.0.1\n"}, "", "Invalid nameserver '10.0.0.1\n'"},  // valid once trimmed, still refused
        {{"\r"}, "", "Invalid nameserver '\r'"},
        {{std::string("10.0.0.1\0", 9)}, "", "Invalid nameserver '10.0.0.1'"},
        {{"10.0.0.1"}, "lan\nnameserver 6.6.6.6", "Invalid search domain 'lan\nnameserver 6.6.6.6'"},
        {{}, "lan\r", "Invalid search domain 'lan\r'"},
        {{}, std::string("lan\0evil", 8), "Invalid search domain 'lan'"},
    };
    for (const Row& row : rows) {
        host().reset();
        renames.clear();
        EXPECT_FALSE(netlib_netm_configure_dns(&ctx, "eth0", row.ns, row.search));
        expect_one_log("netlib_netm_configure_dns", row.message);
        EXPECT_TRUE(host().file_ops.empty());
        EXPECT_TRUE(renames.empty());
    }
}

TEST_F(NetmTest, DnsFileFailureRows)
{
    host().file_init_result = false;
    EXPECT_FALSE(netlib_netm_configure_dns(&ctx, "eth0", {"10.0.0.1"}, "lan"));
    expect_one_log("netlib_netm_configure_dns", "Failed to open config file \"/etc/resolv.conf\"");
    EXPECT_TRUE(renames.empty());

    for (int fail_at : {0, 1, 2}) {
        host().reset();
        host().file_write_fail_at = fail_at;
        EXPECT_FALSE(netlib_netm_configure_dns(&ctx, "eth0", {"10.0.0.1", "10.0.0.2"}, "lan"));
        expect_one_log("netlib_netm_configure_dns", "Failed to write data to config file \"/etc/resolv.conf\"");
        int writes = 0;
        for (const fake::FileOp& op : host().file_ops) {
            writes += op.op == "write";
            EXPECT_NE(op.op, "close");  // released by the destructor only
        }
        EXPECT_EQ(writes, fail_at + 1);  // later lines are not written
        EXPECT_TRUE(renames.empty());
    }

    host().reset();
    host().random_text = "QQQQQQQQ";
    rename_result = -1;
    EXPECT_FALSE(netlib_netm_configure_dns(&ctx, "eth0", {}, ""));
    expect_one_log("netlib_netm_configure_dns",
                   "Failed to move DNS config from \"" + tmp_path("QQQQQQQQ") + "\" to \"/etc/resolv.conf\"", EXDEV);
}

// ---- real files in a private root ----

namespace
{

struct Sandbox {
    std::string old_content;  // empty with has_old false: no resolver file before
    bool has_old = true;
    bool etc_on_own_mount = false;  // rename from /tmp then fails with EXDEV
    int write_fail_at = -1;
};

struct Outcome {
    bool skipped = false;
    std::string skip_reason;
    bool result = false;
    bool resolv_exists = false;
    std::string resolv;
    std::string tmp_entries;  // names left in /tmp, space separated
    std::string logs;         // "level function: text|errno" lines
};

void put(std::string& out, const std::string& field)
{
    out += std::to_string(field.size()) + ":" + field;
}

bool take(const std::string& in, size_t& pos, std::string& field)
{
    size_t colon = in.find(':', pos);
    if (colon == std::string::npos)
        return false;
    size_t len = std::stoul(in.substr(pos, colon - pos));
    if (colon + 1 + len > in.size())
        return false;
    field = in.substr(colon + 1, len);
    pos = colon + 1 + len;
    return true;
}

bool read_file(const std::string& path, std::string& content)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char buf[4096];
    ssize_t n;
    content.clear();
    while ((n = read(fd, buf, sizeof(buf))) > 0)
        content.append(buf, static_cast<size_t>(n));
    close(fd);
    return true;
}

bool write_file(const std::string& path, const std::string& content)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    bool ok = write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size());
    return close(fd) == 0 && ok;
}

std::string list_dir(const char* path)
{
    std::string names;
    DIR* d = opendir(path);
    if (d == nullptr)
        return "?";
    while (dirent* e = readdir(d)) {
        std::string n = e->d_name;
        if (n != "." && n != "..")
            names += (names.empty() ? "" : " ") + n;
    }
    closedir(d);
    return names;
}

// Runs in the child: builds the private root, or exits 77 (not permitted)
// or 70 (set-up failed) before the library can reach a real file.
void enter_private_root(const Sandbox& box)
{
    if (unshare(CLONE_NEWNS) != 0)
        _exit(77);
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        _exit(77);
    // /tmp of this namespace only; etc/ and tmp/ share this one mount.
    if (mount("tmpfs", "/tmp", "tmpfs", 0, "mode=0755") != 0)
        _exit(77);
    if (mkdir("/tmp/root", 0755) != 0 || mkdir("/tmp/root/etc", 0755) != 0 || mkdir("/tmp/root/tmp", 01777) != 0)
        _exit(70);
    if (box.etc_on_own_mount && mount("tmpfs", "/tmp/root/etc", "tmpfs", 0, "mode=0755") != 0)
        _exit(70);
    if (box.has_old && !write_file("/tmp/root/etc/resolv.conf", box.old_content))
        _exit(70);
    if (chroot("/tmp/root") != 0 || chdir("/") != 0)
        _exit(70);
    struct statfs fs;
    if (statfs("/etc", &fs) != 0 || fs.f_type != TMPFS_MAGIC || statfs("/tmp", &fs) != 0 || fs.f_type != TMPFS_MAGIC)
        _exit(70);
}

Outcome run_in_private_root(void* ctx, const Sandbox& box, const std::vector<std::string>& ns,
                            const std::string& search)
{
    Outcome out;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        out.skipped = true;
        out.skip_reason = "pipe failed";
        return out;
    }
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        enter_private_root(box);
        fake::host().reset();
        fake::host().file_passthrough = true;
        fake::host().file_write_fail_at = box.write_fail_at;
        shim::rename_hook = nullptr;  // the real rename, inside the private root
        bool result = netlib_netm_configure_dns(ctx, "eth0", ns, search);
        std::string report, resolv, logs;
        bool exists = read_file("/etc/resolv.conf", resolv);
        for (const fake::LogLine& l : fake::host().logs)
            logs += std::to_string(l.level) + " " + l.function + ": " + l.text + "|" + std::to_string(l.error_number) +
                    "\n";
        put(report, result ? "1" : "0");
        put(report, exists ? "1" : "0");
        put(report, resolv);
        put(report, list_dir("/tmp"));
        put(report, logs);
        bool sent = write(fds[1], report.data(), report.size()) == static_cast<ssize_t>(report.size());
        _exit(sent ? 0 : 70);
    }
    close(fds[1]);
    std::string report;
    char buf[4096];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof(buf))) > 0 || (n < 0 && errno == EINTR))
        if (n > 0)
            report.append(buf, static_cast<size_t>(n));
    close(fds[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 77) {
        out.skipped = true;
        out.skip_reason = "private mount namespace not permitted (needs root or CAP_SYS_ADMIN)";
        return out;
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
    size_t pos = 0;
    std::string result, exists;
    bool ok = take(report, pos, result) && take(report, pos, exists) && take(report, pos, out.resolv) &&
              take(report, pos, out.tmp_entries) && take(report, pos, out.logs);
    EXPECT_TRUE(ok) << "short report from the child";
    out.result = result == "1";
    out.resolv_exists = exists == "1";
    return out;
}

#define RUN_IN_PRIVATE_ROOT(out, box, ns, search)             \
    Outcome out = run_in_private_root(&ctx, box, ns, search); \
    if (out.skipped)                                          \
    GTEST_SKIP() << out.skip_reason

const char* const OLD = "nameserver 192.0.2.53\n";

}  // namespace

TEST_F(NetmTest, DnsRealFileContents)
{
    struct Row {
        std::vector<std::string> ns;
        std::string search, content;
    };
    const Row rows[] = {
        {{"10.0.0.1", " 10.0.0.2 ", "", "   "},
         "lan example.com",
         "search lan example.com\nnameserver 10.0.0.1\nnameserver  10.0.0.2 \nnameserver \nnameserver    \n"},
        {{}, "", ""},
        {{}, "corp.example", "search corp.example\n"},
        {{"10.0.0.1", "10.0.0.1"}, "", "nameserver 10.0.0.1\nnameserver 10.0.0.1\n"},
    };
    for (const Row& row : rows) {
        Sandbox box;
        box.old_content = OLD;
        RUN_IN_PRIVATE_ROOT(out, box, row.ns, row.search);
        EXPECT_TRUE(out.result) << out.logs;
        EXPECT_TRUE(out.resolv_exists);
        EXPECT_EQ(out.resolv, row.content);
        EXPECT_EQ(out.tmp_entries, "");
        EXPECT_EQ(out.logs, "");
    }
}

TEST_F(NetmTest, DnsRealFileCreatedWhenAbsent)
{
    Sandbox box;
    box.has_old = false;
    RUN_IN_PRIVATE_ROOT(out, box, std::vector<std::string>{"10.0.0.1"}, "");
    EXPECT_TRUE(out.result) << out.logs;
    EXPECT_EQ(out.resolv, "nameserver 10.0.0.1\n");
    EXPECT_EQ(out.tmp_entries, "");
}

TEST_F(NetmTest, DnsRealFailuresLeaveTheOldFileAndNoTemporaryFile)
{
    struct Row {
        const char* name;
        Sandbox box;
        std::vector<std::string> ns;
        std::string search, log;
    };
    Sandbox plain;
    plain.old_content = OLD;
    Sandbox write_fails = plain;
    write_fails.write_fail_at = 1;
    Sandbox split = plain;
    split.etc_on_own_mount = true;
    const Row rows[] = {
        {"invalid entry", plain, {"10.0.0.1", "bad"}, "", "3 netlib_netm_configure_dns: Invalid nameserver 'bad'|0\n"},
        {"injected entry",
         plain,
         {"10.0.0.1\nnameserver 6.6.6.6"},
         "",
         "3 netlib_netm_configure_dns: Invalid nameserver '10.0.0.1\nnameserver 6.6.6.6'|0\n"},
        {"injected search",
         plain,
         {"10.0.0.1"},
         "lan\noptions ndots:15",
         "3 netlib_netm_configure_dns: Invalid search domain 'lan\noptions ndots:15'|0\n"},
        {"write fails",
         write_fails,
         {"10.0.0.1", "10.0.0.2"},
         "lan",
         "3 netlib_netm_configure_dns: Failed to write data to config file \"/etc/resolv.conf\"|0\n"},
    };
    for (const Row& row : rows) {
        RUN_IN_PRIVATE_ROOT(out, row.box, row.ns, row.search);
        EXPECT_FALSE(out.result) << row.name;
        EXPECT_EQ(out.resolv, OLD) << row.name;
        EXPECT_EQ(out.tmp_entries, "") << row.name;
        EXPECT_EQ(out.logs, row.log) << row.name;
    }

    // /etc on another file system: the rename fails with EXDEV.
    RUN_IN_PRIVATE_ROOT(out, split, std::vector<std::string>{"10.0.0.1"}, "");
    EXPECT_FALSE(out.result);
    EXPECT_EQ(out.resolv, OLD);
    EXPECT_EQ(out.tmp_entries, "");
    EXPECT_EQ(out.logs.rfind("3 netlib_netm_configure_dns: Failed to move DNS config from \"/tmp/resolv.conf.", 0), 0u)
        << out.logs;
    EXPECT_NE(out.logs.find("\" to \"/etc/resolv.conf\"|" + std::to_string(EXDEV) + "\n"), std::string::npos)
        << out.logs;
}
