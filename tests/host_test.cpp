// The standalone host: validators, text helpers, programs, daemons, files.
#include <fcntl.h>
#include <pelk/log.h>
#include <pelk/utils.h>
#include <pelk/variant.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <cerrno>
#include <csignal>
#include <functional>

#include "support.h"

namespace utils = pelk::utils;
using pelk::variant::Variant;

namespace
{

// A scratch directory under /tmp, removed with everything in it.
struct Scratch {
    std::string dir;
    Scratch()
    {
        char name[] = "/tmp/netlib-host-XXXXXX";
        dir = mkdtemp(name);
    }
    ~Scratch() { sh("rm -rf " + dir); }
    std::string operator/(const std::string& name) const { return dir + "/" + name; }
};

bool no_child_left()
{
    return waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD;
}

TEST(Host, ValidatorsTakeStrictDottedQuadsOnly)
{
    struct Row {
        std::string text;
        bool unicast_only, nonzero, address, netmask;
    } rows[] = {
        {"192.168.1.20", true, true, true, false},
        {"255.255.255.0", false, true, true, true},
        {"255.255.255.255", false, true, true, true},
        {"255.255.255.255", true, false, false, true},
        {"0.0.0.0", false, false, true, true},
        {"0.0.0.0", false, true, false, false},
        {"0.1.2.3", true, false, false, false},
        {"224.0.0.1", true, false, false, false},
        {"255.0.255.0", false, false, true, false},
        {"255.255.254.255", false, false, true, false},
        {"", false, false, false, false},
        {"01.2.3.4", false, false, false, false},
        {"1.2.3", false, false, false, false},
        {"1.2.3.4.5", false, false, false, false},
        {"256.1.1.1", false, false, false, false},
        {"0x7f.0.0.1", false, false, false, false},
        {"127.1", false, false, false, false},
        {"1..2.3", false, false, false, false},
        {" 1.2.3.4", false, false, false, false},
        {"1.2.3.4\n", false, false, false, false},
        {"+1.2.3.4", false, false, false, false},
        {std::string("1.2.3.4\0", 8), false, false, false, false},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(r.address, utils::ipv4_address_valid(r.text, r.unicast_only, r.nonzero)) << '"' << r.text << '"';
        EXPECT_EQ(r.netmask, utils::ipv4_netmask_valid(r.text, r.nonzero)) << '"' << r.text << '"';
    }
}

TEST(Host, SplitTrimFormatAndRandomText)
{
    std::vector<std::string> pieces{"kept"};
    utils::split(" a  b ", " ", pieces);
    utils::split("", " ", pieces);
    utils::split("c d", "", pieces);  // no separator: the text whole
    EXPECT_EQ((std::vector<std::string>{"kept", "", "a", "", "b", "", "", "c d"}), pieces);
    std::string text = "\t a b \r\n";
    EXPECT_EQ("a b", utils::trim(text));
    text = " \v ";
    EXPECT_EQ("", utils::trim(text));
    EXPECT_EQ("x-5-" + std::string(252, 'y'), utils::format("%s-%d-%s", "x", 5, std::string(252, 'y').c_str()));
    const std::string a = utils::randomAlphaNumericString("", 8), b = utils::randomAlphaNumericString("", 8);
    EXPECT_EQ(8u, a.size());
    EXPECT_NE(a, b);
    EXPECT_EQ(a.npos, a.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"));
}

// The state letter of /proc/PID/stat once it is one of want, within a bound; '-' when gone.
char state_once(pid_t pid, const std::string& want)
{
    char state = '?';
    for (int i = 0; i < 1000 && want.find(state) == std::string::npos; ++i) {
        const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
        state = stat.empty() ? '-' : stat[stat.rfind(')') + 2];
        if (want.find(state) == std::string::npos)
            usleep(10000);
    }
    return state;
}

// Whatever a Processes case signals or reaps stays inside (as_init).
// Exit statuses are real whatever the host does about SIGCHLD (the kernel reaps the children of
// one that ignores it, or set SA_NOCLDWAIT; a handler may reap every child), and the host keeps
// its disposition.
TEST(Processes, ProgramsGetTheirArgumentsLiterallyTheirRealStatusAndAResetSignalState)
{
    as_init([] {
        Scratch scratch;
        const std::string out = scratch / "out";
        EXPECT_EQ(0, utils::sysExecSimple("/bin/sh", {"-c", "printf '%s|' \"$@\" > " + out, "sh", "a b", "$(reboot)",
                                                      "*", ";", "`id`", ""}));
        EXPECT_EQ("a b|$(reboot)|*|;|`id`||", read_file(out));
        struct sigaction reap {
        }, ignore{}, no_wait{}, now{}, reap_all{};
        ignore.sa_handler = SIG_IGN;
        no_wait.sa_flags = SA_NOCLDWAIT;
        // The common middleware handler, once every child of this thread has ended.
        reap_all.sa_handler = [](int) {
            std::istringstream children(read_file("/proc/1/task/1/children"));
            for (pid_t child; children >> child;)
                state_once(child, "Z-");
            while (waitpid(-1, nullptr, WNOHANG) > 0) {
            }
        };
        sigset_t mask;
        for (const struct sigaction& disposition : {reap, ignore, no_wait, reap_all}) {
            ASSERT_EQ(0, sigaction(SIGCHLD, &disposition, nullptr));
            EXPECT_EQ(3, utils::sysExecSimple("/bin/sh", {"-c", "exit 3"}));
            // Another child of the host ends while the program runs (the program sees it gone).
            const pid_t other = fork();
            if (other == 0) {
                pause();
                _exit(0);
            }
            const std::string gone = "/proc/" + std::to_string(other);  // a zombie, or reaped
            EXPECT_EQ(4, utils::sysExecSimple("/bin/sh", {"-c", "kill " + std::to_string(other) +
                                                                    "; i=0; while grep -qs 'State:.[RSD]' " + gone +
                                                                    "/status && [ $i != 9999 ]; do i=$((i+1)); "
                                                                    "done; exit 4"}));
            waitpid(other, nullptr, 0);
            EXPECT_EQ(-1, utils::sysExecSimple("/bin/sh", {"-c", "kill -9 $$"}));
            EXPECT_EQ(-1, utils::sysExecSimple("/nonexistent/program", {}));
            ASSERT_EQ(0, sigaction(SIGCHLD, nullptr, &now));
            EXPECT_EQ(disposition.sa_handler, now.sa_handler);
            EXPECT_EQ(disposition.sa_flags & SA_NOCLDWAIT, now.sa_flags & SA_NOCLDWAIT);
            sigprocmask(SIG_BLOCK, nullptr, &mask);
            EXPECT_FALSE(sigismember(&mask, SIGTERM));  // the caller's mask as it was
        }
        sigset_t blocked, saved;
        sigemptyset(&blocked);
        sigaddset(&blocked, SIGUSR1);
        sigprocmask(SIG_BLOCK, &blocked, &saved);
        signal(SIGTERM, SIG_IGN);
        for (const struct sigaction& disposition : {reap_all, reap}) {  // through the intermediate, then not
            sigaction(SIGCHLD, &disposition, nullptr);
            EXPECT_EQ(0, utils::sysExecSimple("/bin/sh", {"-c", "grep -E '^Sig(Blk|Ign)' /proc/self/status > " + out}));
            std::istringstream status(read_file(out));
            std::string name, blocked_bits, ignored_bits;
            status >> name >> blocked_bits >> name >> ignored_bits;
            // The C library keeps its two internal real-time signals (32, 33) out of reach.
            EXPECT_EQ(0u, std::stoull(blocked_bits, nullptr, 16) & 0x7fffffffu);
            EXPECT_EQ(0u, std::stoull(ignored_bits, nullptr, 16) & 0x7fffffffu);
        }
        EXPECT_TRUE(no_child_left());
    });
}

TEST(Processes, DaemonsStartDetachedAndAreFoundByTheirFifteenCharacterName)
{
    as_init([] {
        Scratch scratch;
        const std::string program = scratch / "abcdefghijklmnopq";  // the kernel keeps 15 characters
        sh("cp \"$(readlink -f /bin/sh)\" " + program);
        // Inherited without close-on-exec, below and far above what runDaemon opens: the daemon keeps neither.
        const int kept = open("/dev/null", O_RDONLY), high = dup2(kept, 200);
        int pid = 0;
        ASSERT_EQ(1, utils::runDaemon(nullptr, nullptr, &pid, program, 2, "-c", "kill -STOP $$"));
        close(kept);
        close(high);
        EXPECT_EQ(pid, getsid(pid));
        EXPECT_EQ("0 1 2", sh("ls /proc/" + std::to_string(pid) + "/fd | sort | xargs"));
        EXPECT_EQ("/dev/null /dev/null /dev/null",
                  sh("for fd in 0 1 2; do readlink /proc/" + std::to_string(pid) + "/fd/$fd; done | xargs"));
        EXPECT_EQ(0, utils::runDaemon(nullptr, nullptr, nullptr, scratch / "missing", 0));

        EXPECT_EQ('T', state_once(pid, "T"));
        EXPECT_EQ(0, utils::kill_process_by_name("abcdefghijklmn", SIGKILL));
        EXPECT_EQ(0, utils::kill_process_by_name("", SIGKILL));
        EXPECT_EQ(1, utils::kill_process_by_name("abcdefghijklmnopq", SIGKILL));
        char own[16] = {};
        prctl(PR_GET_NAME, own);
        prctl(PR_SET_NAME, "netlib-own-name");
        EXPECT_EQ(0, utils::kill_process_by_name("netlib-own-name", SIGKILL));
        prctl(PR_SET_NAME, own);
    });
}

// PID 1 (a container's init, a minimal device) or a child subreaper gets its daemons back when
// the process that started them ends: they are reaped on the next runDaemon or kill by name.
TEST(Processes, DaemonsThatComeBackToPid1AreReapedLater)
{
    as_init([] {
        for (const auto& next_call : std::vector<std::function<void()>>{
                 [] { utils::runDaemon(nullptr, nullptr, nullptr, "/bin/sh", 2, "-c", "exit 0"); },
                 [] { utils::kill_process_by_name("netlib-no-such", 0); }}) {
            int pid = 0;
            ASSERT_EQ(1, utils::runDaemon(nullptr, nullptr, &pid, "/bin/sh", 2, "-c", "exit 0"));
            EXPECT_EQ('Z', state_once(pid, "Z"));
            next_call();
            EXPECT_EQ('-', state_once(pid, "-"));
        }
        // Many living daemons do not use up the descriptors.
        rlimit few{64, 64};
        ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &few));
        for (int i = 0; i < 70; ++i)
            ASSERT_EQ(1, utils::runDaemon(nullptr, nullptr, nullptr, "/bin/sh", 2, "-c", "kill -STOP $$")) << i;
    });
}

TEST(Host, FilesAreWrittenWholeWithMode0644AndNeverThroughALink)
{
    Scratch scratch;
    const std::string path = scratch / "file", target = scratch / "target", link = scratch / "link";
    sh("echo old > " + path + " && echo kept > " + target + " && ln -s " + target + " " + link);
    const mode_t saved = umask(077);
    utils::File file;
    ASSERT_EQ(1, file.Initialize(path, utils::FILE_OPEN_WRITE, 0));
    EXPECT_EQ(1, file.WriteString("new "));
    EXPECT_EQ(1, file.WriteString("text"));
    EXPECT_EQ(1, file.Close());
    utils::File through_link;
    EXPECT_EQ(0, through_link.Initialize(link, utils::FILE_OPEN_WRITE, 0));
    umask(saved);
    struct stat st;
    ASSERT_EQ(0, stat(path.c_str(), &st));
    EXPECT_EQ(0644u, st.st_mode & 0777);
    EXPECT_EQ("new text", read_file(path));
    EXPECT_EQ("kept\n", read_file(target));

    sh("touch " + scratch / "proc");
    EXPECT_EQ(1, writeProc(scratch / "proc", "1"));
    EXPECT_EQ("1", read_file(scratch / "proc"));
    EXPECT_EQ(0, writeProc(scratch / "absent", "1"));
    EXPECT_NE(0, access((scratch / "absent").c_str(), F_OK));
}

// A C++ host writes booleans where netlibctl's JSON has true and false.
TEST(Host, BooleanSettingsAreFoundAsTheIntegersZeroAndOne)
{
    Variant config;
    config["dhcp"]["status"] = false;
    config["dns"]["ns1"]["status"] = true;
    config["dns"]["ns1"]["ip"] = "10.0.0.1";
    const Variant* off = config.GetKeyChain(pelk::variant::VT_INTEGER, "dhcp/status", true);
    const Variant* on = config.GetKeyChain(pelk::variant::VT_INTEGER, "dns/ns1/status", true);
    ASSERT_TRUE(off && on);
    EXPECT_EQ(0, static_cast<long long>(*off));
    EXPECT_EQ(1, static_cast<long long>(*on));
    EXPECT_EQ(nullptr, config.GetKeyChain(pelk::variant::VT_INTEGER, "dns/ns1/ip", true));
    EXPECT_EQ(nullptr, config.GetKeyChain(pelk::variant::VT_STRING, "dhcp/status", true));
    const Variant moved(std::move(config["dns"]["ns1"]["status"]));
    EXPECT_TRUE(config["dns"]["ns1"]["status"].IsEmpty() && static_cast<long long>(moved) == 1);
}

TEST(Host, DeepVariantTreesAreCopiedComparedAndDestroyedWithoutRecursion)
{
    Variant tree;
    Variant* at = &tree;
    for (int i = 0; i < 200000; ++i)
        at = &(*at)["d"];
    *at = 7;
    {
        Variant copy(tree);
        EXPECT_TRUE(copy == tree);
        Variant assigned;
        assigned = copy;
        EXPECT_TRUE(assigned == tree);
        assigned["e"] = 1;  // one member more at the top
        EXPECT_FALSE(assigned == tree);
    }
    Variant one, two;  // the same shape, a value another
    one["a"] = 1;
    two["a"] = 2;
    EXPECT_FALSE(one == two);
    EXPECT_EQ(nullptr, tree.GetKeyChain(pelk::variant::VT_INTEGER, "d/d/x", true));
}

}  // namespace
