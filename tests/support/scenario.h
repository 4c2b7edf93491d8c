// Scenarios: the tool's behaviour as rows of data. Each case in a file under
// tests/data sets up a scratch folder, runs the entry function in-process
// with standard output captured, and states the printed bytes, the status and
// the files afterwards with their mode, owner and content.
//
//   case <label>                       starts a case
//   system posix|windows               only on that system
//   user nobody                        run as an unprivileged user (POSIX)
//   workdir <mode> [<owner>]           the scratch folder's mode (and owner)
//   depth <n>                          the scratch folder moved down so deep that a
//                                      one-byte name in it makes a path of n bytes
//   file <name> <mode> <content>       content: "text" | pattern:<bytes> | copy:<name> | data:<path>
//   dir <name> <mode> | symlink <name> <target> | hardlink <name> <existing> | fifo <name>
//   owner <name> <user>:<group> | chmod <name> <mode>
//   xattr <name> <key> "<value>" | acl <name> <entry>
//   attributes <name> <mask>           Windows file attributes, as SetFileAttributes takes them
//   access <name> <SDDL>               a Windows access list (checked by same-access <name> <name>)
//   sealed <name> <plaintext> <project>    encrypted by the tool before the run
//   passphrases "<text>"|data:<path> | setting <name>|none   the passphrase file; the setting
//                                      naming it (a bare name opens in the folder the tool runs in)
//   cut <name> <length> | set32 <name> <offset> <value> | flip <name> <byte> <bit>
//   append <name> "<bytes>" | stored-name <name> "<text>" | stored-project <name> "<text>"
//                                      edits of a file
//   each <value|a..b>...               the case runs once for each value (a range: every
//                                      number in it), with $ in every other line standing for it
//   cwd <folder>                       run in a folder below the scratch folder
//   run <arguments...>                 the command line after the program name
//   stdout closed                      standard output is a pipe nobody reads
//   temporaries named | ignore <SIG> | block <SIG> | limit <bytes>    the run names its
//                                      unfinished outputs from the start, ignores a signal
//                                      as under nohup, starts with it held back, or may
//                                      write files of at most that size
//   program | codepage 932             the run is the built program started by a shell (on
//                                      Windows with its UTF-8 words in a wide command line, in
//                                      code page 932 when asked)
//   refuse threads|direct-writes|fallocate|writes|links|memory   no thread can be made, a write
//                                      past the file cache fails where a plain one would not, the
//                                      file system has no reservation call, every write fails, it
//                                      can neither rename without replacing nor link, or writing
//                                      meets a real memory fault (POSIX)
//   during truncate <name> <length> | poke <name> <offset> <byte> | write <name> "<text>"
//          | folder <name> | signal <SIG> | kill
//          [after <bytes>]             done with the run stopped once it has written
//                                      its first byte (or that many; after 0: at once)
//   open <path> [quiet] | create <path> <length> [follow] | publish | hold <path> | glance <path>
//          | cut-under <name> <length> [<length>]  (the last opened file cut short from
//                                      outside, then read whole, then grown back if asked:
//                                      status 0 if it is still intact)
//                                      calls of MappedFile in the test process instead of a run
//                                      (a path starting with @ is taken as it stands); see
//                                      mapped_files.cases
//   lock <name> | append-only <name>   another run's lock on a file; a folder of chattr +a (POSIX)
//   prints "<bytes>"  status <n> | killed <SIG> | mapped "<bytes>"|zeros|-   what the last open mapped
//   expect <name> <mode>|- <content>|*|sealed:<plaintext>   a regular file afterwards
//   expect-owner <name> <user>:<group> | expect-link <name> <target>
//   expect-xattrs <name> <attribute names...>    all its extended attributes
//   expect-attributes <name> <mask>    Windows attributes the file still has
//   same-file <name> | new-file <name> | missing <name> | only <paths...>   (every path in the folder)
//   differs <name> <name> | bytes <name> <offset> "<bytes>"
//
// In what a run prints and in `only`, the case's folder reads <folder> and a
// temporary name .tandrel-*.
// Quoted words take \n \r \t \" \\ \0 and \xNN escapes. '#' starts a comment line.
// By default the passphrase file holds "Web" "correct horse".
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace tandrel::test {

struct ScenarioLine {
    int number = 0;
    std::string text;
    std::vector<std::string> words;  // the verb first
};

struct Scenario {
    std::string file;
    int line = 0;
    std::string label;
    std::string value;  // what $ stands for in this run of an `each` case
    std::vector<ScenarioLine> lines;
};

// The rows of a plain table in TANDREL_TEST_DATA_DIR/<fileName>: one row a
// line, words as in the case files.
std::vector<std::vector<std::string>> readRows(const std::string& fileName);

// Every case of TANDREL_TEST_DATA_DIR/<fileName>; a line that cannot be read
// fails the calling test.
std::vector<Scenario> readScenarios(const std::string& fileName);

// The runs of a case: one for each value of its `each` line, with $ replaced
// by it; the case itself when it has none.
std::vector<Scenario> eachRun(const Scenario& scenario);

// Sets the case up in a fresh folder, runs it and checks every expectation,
// reporting failures through GoogleTest.
void runScenario(const Scenario& scenario);

// ---- Provided once per system (test_support_posix.cpp, test_support_win32.cpp)

struct EntryRun {
    std::string output;
    int status = -1;
    std::string killedBy;  // name of the signal that ended the run, if one did
};

struct EntryOptions {
    bool asNobody = false;
    // The built program started with a wide command line, rather than the
    // entry function called here (Windows); in that code page, if one is named.
    bool asProgram = false;
    std::string codePage;
    bool stdoutClosed = false;
    // Done with the run held still, once it has begun writing its output: a
    // change to a file, then the signal named here (if any) sent to the run.
    std::function<void()> whileWriting;
    std::string signalWhileWriting;
    // How many bytes the run must have written before it is held; 0 holds
    // it as soon as it starts.
    std::uint64_t holdAfterBytes = 1;
    bool namedTemporaries = false;
    std::string ignoredSignal;
    std::string blockedSignal;
    std::uint64_t fileSizeLimit = 0;
    // What the system refuses the run: "threads", "direct-writes" (POSIX).
    std::string refused;
};

// Runs the tool's entry function with `args` (after the program name) in
// `workDir`.
EntryRun runEntry(const std::vector<std::string>& args, const std::filesystem::path& workDir,
                  const EntryOptions& options);

// Why this system cannot run the case, or empty when it can.
std::string unsupportedHere(const Scenario& scenario);

// Whether files carry the full set of permission bits that `expect` checks.
bool systemHasPermissionBits();

// Identifies a file for `same-file`, as long as it exists.
std::uint64_t fileIndex(const std::filesystem::path& path);

// Lines about what only some systems have: owners, extended attributes,
// access lists. False for a line this system does not know.
bool systemLine(const ScenarioLine& line, const std::filesystem::path& work);

}  // namespace tandrel::test
