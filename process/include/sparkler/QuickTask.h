#pragma once

#include <chrono>
#include <cstddef>
#include <initializer_list>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace sparkler {

// Label types. Each parameter of the QuickTask families has its own type so that every
// call site names what it passes (`Arguments{{"attach", image}}`, `Input{"abc"}`) and no
// overload can be picked by accident. None converts implicitly from another.

/// The program's arguments, not including its own name; each string is one argument.
struct Arguments {
  std::vector<std::string> list;
};

/// The program's entire standard input (UTF-8 text), followed by end of file.
struct Input {
  std::string text;
};

/// The whole environment of the child, replacing the application's.
struct Environment {
  std::map<std::string, std::string> variables;
};

/// The directory in which the program starts.
struct LaunchedFrom {
  std::string path;
};

/// A regular expression in ICU syntax, compiled with no flags.
struct SearchingForPattern {
  std::string pattern;
};

/// Captured values to pass over; empty passes over nothing.
struct Reject {
  std::set<std::string> values;
};

/// Limits and capture of QuickTask::run.
struct RunOptions {
  /// Once the child has run this long, it and every process of its process group are killed
  /// (SIGKILL); zero means no limit. Daemons that left the group (setsid) are not touched.
  std::chrono::milliseconds timeLimit{0};
  /// The most standard output kept; a child that writes more is killed the same way.
  std::size_t maxOutputBytes = std::size_t{1} << 20;
  /// How much of the end of standard error is kept for messages; 0 discards it.
  std::size_t maxErrorBytes = 0;
};

/// What QuickTask::run saw of one run.
struct RunResult {
  bool started = false;        // false: the program could not be started, and status is 1
  int status = 1;              // as the status forms report it
  bool timedOut = false;       // killed at the time limit
  bool outputTooLong = false;  // killed for writing more than maxOutputBytes
  std::string output;          // standard output as written: not decoded, not trimmed
  std::string error;           // the end of standard error, when kept

  /// Standard output as the output forms give it: nullopt unless the run succeeded and the
  /// output is valid UTF-8; trimmed like them when `trimmed`.
  std::optional<std::string> text(bool trimmed) const;
  /// Whether the program ran and exited with status 0 within its limits.
  bool succeeded() const noexcept { return started && status == 0 && !timedOut && !outputTooLong; }
  /// Why the run failed, in a few words ("timed out after 60 s", "exited with status 2:
  /// <the last line of standard error>"); empty when it succeeded.
  std::string failure() const;
};

/// Runs external programs to completion (posix_spawn, pipes, poll) and reports their
/// status, success or standard output. Stateless; every call is independent and may run on
/// any thread.
///
/// A nil task is the empty string_view. The task is a path used unchanged (no PATH search).
///
/// Status: the program's exit status; 128 + the signal number when it was ended by a
/// signal; 1 for every failure before the program ran (nil task, a program that cannot be
/// started: missing, not executable, a working directory that does not exist, no pipes).
/// Success is status 0.
///
/// Input: when given, its bytes are the child's whole standard input, fed while output is
/// drained (no deadlock with a child that writes first); a child that closes its input early
/// simply gets no more (never SIGPIPE for the application). The child's environment then is
/// the Environment argument if given, else the application's own, with "QuickTask.STDIN" set
/// to "YES". Without input the child inherits the application's standard input and, unless
/// an Environment is given, its environment.
///
/// Standard error is always discarded; the status forms discard standard output too. No
/// descriptor opened by a call outlives it or leaks into another child.
class QuickTask {
 public:
  QuickTask() = delete;

  // ---- status workhorse and status forms -------------------------------------------------

  /// 1 when the program could not be started; 128 + signal for a child ended by a signal.
  static int statusOfTask(std::string_view task, const std::optional<Arguments>& arguments,
                          const std::optional<Input>& input,
                          const std::optional<Environment>& environment,
                          const std::optional<LaunchedFrom>& launchedFrom) noexcept;
  /// 1 when the program could not be started.
  static int statusOfTask(std::string_view task, const std::optional<Arguments>& arguments,
                          const std::optional<Input>& input,
                          const std::optional<Environment>& environment) noexcept;
  /// 1 when the program could not be started.
  static int statusOfTask(std::string_view task) noexcept;
  /// 1 when the program could not be started.
  static int statusOfTask(std::string_view task, const Arguments& arguments) noexcept;
  /// 1 when the program could not be started.
  static int statusOfTask(std::string_view task, const Input& input) noexcept;
  /// 1 when the program could not be started.
  static int statusOfTask(std::string_view task, const Arguments& arguments,
                          const Input& input) noexcept;

  // ---- success forms (true exactly for status 0) ----------------------------------------

  /// false when the program could not be started or did not exit with 0.
  static bool executeTask(std::string_view task) noexcept;
  /// false when the program could not be started or did not exit with 0.
  static bool executeTask(std::string_view task, const Arguments& arguments) noexcept;
  /// false when the program could not be started or did not exit with 0.
  static bool executeTask(std::string_view task, const Input& input) noexcept;
  /// false when the program could not be started or did not exit with 0.
  static bool executeTask(std::string_view task, const Arguments& arguments,
                          const Input& input) noexcept;
  /// false when the program could not be started or did not exit with 0.
  static bool executeTask(std::string_view task, const Arguments& arguments,
                          const Environment& environment) noexcept;
  /// false when the program could not be started or did not exit with 0.
  static bool executeTask(std::string_view task, const LaunchedFrom& launchedFrom) noexcept;
  /// false when the program could not be started or did not exit with 0.
  static bool executeTask(std::string_view task, const Arguments& arguments,
                          const LaunchedFrom& launchedFrom) noexcept;
  /// false when the program could not be started or did not exit with 0.
  static bool executeTask(std::string_view task, const Input& input,
                          const LaunchedFrom& launchedFrom) noexcept;
  /// false when the program could not be started or did not exit with 0.
  static bool executeTask(std::string_view task, const Arguments& arguments, const Input& input,
                          const LaunchedFrom& launchedFrom) noexcept;
  /// false when the program could not be started or did not exit with 0.
  static bool executeTask(std::string_view task, const Arguments& arguments,
                          const Environment& environment,
                          const LaunchedFrom& launchedFrom) noexcept;

  // ---- output workhorse and output forms ------------------------------------------------
  // Trimming strips Unicode white space and line breaks (categories Z*, U+000A-U+000D,
  // U+0085) from both ends. The forms that do not name `trimmed` trim.

  /// nullopt when the program could not be started, exited with a non-zero status or was
  /// ended by a signal, or wrote output that is not valid UTF-8.
  static std::optional<std::string> outputOfTask(std::string_view task,
                                                 const std::optional<Arguments>& arguments,
                                                 const std::optional<Input>& input,
                                                 bool trimmed) noexcept;
  /// nullopt as for the output workhorse.
  static std::optional<std::string> outputOfTask(std::string_view task) noexcept;
  /// nullopt as for the output workhorse.
  static std::optional<std::string> outputOfTask(std::string_view task,
                                                 const Arguments& arguments) noexcept;
  /// nullopt as for the output workhorse.
  static std::optional<std::string> outputOfTask(std::string_view task,
                                                 const Input& input) noexcept;
  /// nullopt as for the output workhorse.
  static std::optional<std::string> outputOfTask(std::string_view task, const Arguments& arguments,
                                                 const Input& input) noexcept;
  /// nullopt as for the output workhorse.
  static std::optional<std::string> outputOfTask(std::string_view task, bool trimmed) noexcept;
  /// nullopt as for the output workhorse.
  static std::optional<std::string> outputOfTask(std::string_view task, const Arguments& arguments,
                                                 bool trimmed) noexcept;
  /// nullopt as for the output workhorse.
  static std::optional<std::string> outputOfTask(std::string_view task, const Input& input,
                                                 bool trimmed) noexcept;

  // ---- output pattern search -----------------------------------------------------------
  // Watches the child's standard output for a match of `pattern` whose last capture group
  // (the whole match without groups) is not in `reject`; a match whose optional last group
  // took no part yields no value. The output is searched chunk by chunk as reads return it
  // (at most 64 KiB each): each chunk is decoded and searched on its own, with `^` and `$` at
  // its ends, so a match that spans two chunks is not found; only a UTF-8 character split
  // between two reads is joined. The first chunk with an accepted match gives the value,
  // its last accepted match. The end of the output counts as an empty chunk, in which a
  // pattern that matches the empty string finds "". Once a value is accepted the child is
  // sent SIGTERM (SIGKILL 5 s later if it is still running) and the call returns without
  // waiting; the child is reaped in the background. A chunk that is not valid UTF-8, or whose
  // search exceeds its time limit (about a second of matching), gives nothing and asks the
  // child to end the same way. When the child ends, what is left in the pipe (at most its
  // capacity) is still searched, without waiting for descendants that hold it open. The
  // child keeps the application's standard input, environment and working directory.

  /// nullopt for a nil task, an empty or invalid pattern, a program that cannot be started,
  /// or a child that ended with no value accepted.
  static std::optional<std::string> outputOfTask(std::string_view task, const Arguments& arguments,
                                                 const SearchingForPattern& pattern,
                                                 const Reject& reject) noexcept;
  /// nullopt as for the form with arguments.
  static std::optional<std::string> outputOfTask(std::string_view task,
                                                 const SearchingForPattern& pattern,
                                                 const Reject& reject) noexcept;

  // ---- bounded runs ---------------------------------------------------------------------

  /// Runs `task` in a process group of its own, with the application's environment, working
  /// directory and standard input, keeping its standard output (and the end of its standard
  /// error when asked) within the limits of `options`. The child is always reaped. When it
  /// ends, output still held by a descendant is taken as far as it is there, without waiting.
  static RunResult run(std::string_view task, const Arguments& arguments,
                       const RunOptions& options) noexcept;

  // ---- the receiving side of input ------------------------------------------------------

  /// The bytes of this process's standard input up to end of file, possibly empty; nullopt
  /// (standard input untouched) when "QuickTask.STDIN" is not in the environment, or on a
  /// read error. Calls from several threads are serialised: the first reads everything.
  static std::optional<std::string> input() noexcept;
  /// input() as text; nullopt when input() is nullopt or empty, or not valid UTF-8.
  static std::optional<std::string> stringInput() noexcept;

  // ---- forms that would silently pick the wrong overload --------------------------------
  // A bare braced list such as {"-v"} could otherwise become an Input or a LaunchedFrom, and
  // a string literal could become the `trimmed` flag: name the label type instead.
  static int statusOfTask(std::string_view, std::initializer_list<std::string>) = delete;
  static bool executeTask(std::string_view, std::initializer_list<std::string>) = delete;
  static bool executeTask(std::string_view, std::initializer_list<std::string>,
                          const LaunchedFrom&) = delete;
  static std::optional<std::string> outputOfTask(std::string_view,
                                                 std::initializer_list<std::string>) = delete;
  static std::optional<std::string> outputOfTask(std::string_view,
                                                 std::initializer_list<std::string>, bool) = delete;
  template <class NotBool>
  static std::optional<std::string> outputOfTask(std::string_view, NotBool) = delete;
  template <class NotBool>
  static std::optional<std::string> outputOfTask(std::string_view, const Arguments&,
                                                 NotBool) = delete;
  template <class NotBool>
  static std::optional<std::string> outputOfTask(std::string_view, const Input&, NotBool) = delete;
};

}  // namespace sparkler
