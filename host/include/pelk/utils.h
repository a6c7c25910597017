// Support library provided by the host process.
#ifndef PELK_UTILS_H
#define PELK_UTILS_H

#include <signal.h>

#include <string>
#include <vector>

namespace pelk
{
namespace utils
{

// Runs program with args (program path not included) without a shell and
// waits for it. 0 only when it exited normally with status 0; a positive
// exit status is returned as such; -1 when it could not be started or was
// killed by a signal. The child starts with an empty signal mask and every
// signal at its default action, and inherits the environment.
// The real status comes back whatever the host does with SIGCHLD. At its
// default, the program is a plain child and the caller waits for it.
// Ignored, with SA_NOCLDWAIT, or with a handler (which may reap every child
// with waitpid(-1, ...), wait() or waitid(P_ALL, ...)), the program runs as
// the child of an intermediate process that signals nothing when it ends,
// and the calling thread's signals are held back until the program has
// ended. What a host may not do with children it did not start: wait for
// them with __WALL or __WCLONE (that takes the intermediate's end), or, with
// SIGCHLD at its default, wait for any child from another thread.
int sysExecSimple(const char* program, const std::vector<std::string>& args);

// Starts program detached (new session, no zombie left in the caller) with
// count further const char* arguments and returns at once. The daemon has
// /dev/null on descriptors 0, 1 and 2, keeps no other descriptor and starts
// with every signal at its default action. A host that is PID 1 or a child
// subreaper gets its daemons back when they end: they are reaped on the next
// runDaemon or kill_process_by_name (by pidfd for the first few, by number
// beyond).
//   workdir: directory to run in, or null for "/".
//   mask:    signal mask of the child, or null for an empty mask.
//   pid:     receives the daemon's process id when not null.
// Non-zero when the program was started (exec succeeded).
int runDaemon(const std::string* workdir, const sigset_t* mask, int* pid, const std::string& program, int count, ...);

// Sends signal to every process whose name (/proc/PID/comm) equals name
// exactly, never to the calling process. Returns the number signalled.
int kill_process_by_name(const std::string& name, int signal);

// Strict dotted-decimal IPv4 text: four decimal octets 0-255, no leading
// zeros, no sign, no white space, nothing else. The empty text is refused.
//   unicast_only: also refuse 0.0.0.0/8, multicast 224.0.0.0/4 and
//                 240.0.0.0/4 (reserved, limited broadcast included).
//   nonzero:      also refuse 0.0.0.0.
bool ipv4_address_valid(const std::string& text, bool unicast_only, bool nonzero);

// A strict dotted-decimal netmask whose bits are contiguous ones followed
// by zeros. The empty text is refused.
//   nonzero: also refuse 0.0.0.0 (a /0 mask cannot describe a subnet).
bool ipv4_netmask_valid(const std::string& text, bool nonzero);

// Appends to out the pieces of text between separators, in order. Pieces
// may be empty; an empty separator appends text whole.
void split(const std::string& text, const std::string& separator, std::vector<std::string>& out);

// Strips leading and trailing white space in place; returns its argument.
std::string& trim(std::string& text);

// printf into a std::string.
std::string format(const char* format, ...) __attribute__((format(printf, 1, 2)));

// length random characters from [A-Za-z0-9] (unbiased). A non-empty
// alphabet replaces the default one. Never blocks: getrandom without
// waiting, then /dev/urandom (the pool may not be ready early at boot), and
// where neither is there, distinct values from the clock, the process id
// and a counter.
std::string randomAlphaNumericString(const std::string& alphabet, unsigned int length);

enum FILE_OPEN_MODE {
    FILE_OPEN_READ = 0,    // read only
    FILE_OPEN_APPEND = 1,  // write at the end, create if missing (0644 less the umask)
    FILE_OPEN_WRITE = 2,   // create or truncate for writing, mode 0644 whatever the umask
};

// A file written through a descriptor: no symbolic link is followed, and
// Close() flushes to stable storage before it closes.
class File
{
public:
    File();
    ~File();
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    // flags: reserved, pass 0. Non-zero on success.
    int Initialize(const std::string& path, FILE_OPEN_MODE mode, unsigned int flags);
    // Writes the whole text. Non-zero on success.
    int WriteString(const std::string& text);
    // fsync and close. Non-zero when both succeeded.
    int Close();
    bool IsOpen() const { return fd_ >= 0; }

private:
    int fd_;
};

}  // namespace utils
}  // namespace pelk

#endif
