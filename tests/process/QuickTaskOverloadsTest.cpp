// Compile-time checks that every entry point can be called with its label types and that
// forms which could silently pick the wrong overload do not compile.
#include <concepts>
#include <optional>
#include <string>
#include <utility>

#include "tove/QuickTask.h"

namespace {

using tove::Arguments;
using tove::Environment;
using tove::Input;
using tove::LaunchedFrom;
using tove::QuickTask;
using tove::Reject;
using tove::SearchingForPattern;
using Output = std::optional<std::string>;

// Every member of each family resolves, with the expected result type.
static_assert(std::same_as<decltype(QuickTask::statusOfTask("t")), int>);
static_assert(std::same_as<decltype(QuickTask::statusOfTask("t", Arguments{{"a"}})), int>);
static_assert(std::same_as<decltype(QuickTask::statusOfTask("t", Input{"a"})), int>);
static_assert(
    std::same_as<decltype(QuickTask::statusOfTask("t", Arguments{{"a"}}, Input{"a"})), int>);
static_assert(
    std::same_as<decltype(QuickTask::statusOfTask("t", Arguments{}, std::nullopt, Environment{})),
                 int>);
static_assert(std::same_as<decltype(QuickTask::statusOfTask("t", std::nullopt, std::nullopt,
                                                            std::nullopt, LaunchedFrom{"/"})),
                           int>);
static_assert(std::same_as<decltype(QuickTask::executeTask("t")), bool>);
static_assert(std::same_as<decltype(QuickTask::executeTask("t", Arguments{})), bool>);
static_assert(std::same_as<decltype(QuickTask::executeTask("t", Input{})), bool>);
static_assert(std::same_as<decltype(QuickTask::executeTask("t", Arguments{}, Input{})), bool>);
static_assert(
    std::same_as<decltype(QuickTask::executeTask("t", Arguments{}, Environment{})), bool>);
static_assert(std::same_as<decltype(QuickTask::executeTask("t", LaunchedFrom{"/"})), bool>);
static_assert(
    std::same_as<decltype(QuickTask::executeTask("t", Arguments{}, LaunchedFrom{})), bool>);
static_assert(std::same_as<decltype(QuickTask::executeTask("t", Input{}, LaunchedFrom{})), bool>);
static_assert(std::same_as<
              decltype(QuickTask::executeTask("t", Arguments{}, Input{}, LaunchedFrom{})), bool>);
static_assert(
    std::same_as<decltype(QuickTask::executeTask("t", Arguments{}, Environment{}, LaunchedFrom{})),
                 bool>);
static_assert(std::same_as<decltype(QuickTask::outputOfTask("t")), Output>);
static_assert(std::same_as<decltype(QuickTask::outputOfTask("t", Arguments{})), Output>);
static_assert(std::same_as<decltype(QuickTask::outputOfTask("t", Input{})), Output>);
static_assert(std::same_as<decltype(QuickTask::outputOfTask("t", Arguments{}, Input{})), Output>);
static_assert(std::same_as<decltype(QuickTask::outputOfTask("t", false)), Output>);
static_assert(std::same_as<decltype(QuickTask::outputOfTask("t", Arguments{}, false)), Output>);
static_assert(std::same_as<decltype(QuickTask::outputOfTask("t", Input{}, false)), Output>);
static_assert(
    std::same_as<decltype(QuickTask::outputOfTask("t", Arguments{}, Input{}, false)), Output>);
static_assert(std::same_as<
              decltype(QuickTask::outputOfTask("t", std::nullopt, std::nullopt, false)), Output>);
static_assert(std::same_as<decltype(QuickTask::outputOfTask("t", Arguments{},
                                                            SearchingForPattern{"x"}, Reject{})),
                           Output>);
static_assert(
    std::same_as<decltype(QuickTask::outputOfTask("t", SearchingForPattern{"x"}, Reject{{"1"}})),
                 Output>);
static_assert(std::same_as<decltype(QuickTask::input()), Output>);
static_assert(std::same_as<decltype(QuickTask::stringInput()), Output>);

// The label types never stand in for each other.
static_assert(!std::convertible_to<Input, Arguments> && !std::convertible_to<Arguments, Input>);
static_assert(!std::convertible_to<Input, LaunchedFrom> &&
              !std::convertible_to<LaunchedFrom, Input>);
static_assert(!std::convertible_to<std::string, Input> && !std::convertible_to<const char*, Input>);
static_assert(!std::convertible_to<std::string, LaunchedFrom>);
static_assert(!std::convertible_to<std::vector<std::string>, Arguments>);

// Bare braced lists and stray values that would otherwise become an Input, a LaunchedFrom or
// the trimming flag do not compile.
// Each form is checked through a concept over QuickTask so that a form that does not compile
// makes the concept false instead of stopping the build.
#define TOVE_REJECTED(name, call) \
  template <class Q>              \
  concept name = requires {       \
    call;                         \
  };                              \
  static_assert(!name<QuickTask>)

// The same machinery accepts the named forms, so the checks above fail for the right reason.
template <class Q>
concept Accepted = requires {
  Q::statusOfTask("t", Arguments{{"-v"}});
  Q::executeTask("t", Arguments{{"-v"}}, LaunchedFrom{"/"});
  Q::outputOfTask("t", Input{"x"}, true);
  Q::outputOfTask("t", std::declval<Arguments&>());
  Q::outputOfTask("t", std::declval<const Arguments&>(), std::declval<bool&>());
  Q::executeTask("t", std::declval<Arguments&>(), std::declval<Environment&>());
};
static_assert(Accepted<QuickTask>);

TOVE_REJECTED(Rejected0, Q::statusOfTask("t", {"-v"}));
TOVE_REJECTED(Rejected1, Q::statusOfTask("t", {}));
TOVE_REJECTED(Rejected2, Q::statusOfTask("t", {"-v"}, Input{"x"}));
TOVE_REJECTED(Rejected3, Q::statusOfTask("t", "text"));
TOVE_REJECTED(Rejected4, Q::executeTask("t", {"-v"}));
TOVE_REJECTED(Rejected5, Q::executeTask("t", {"/tmp"}));
TOVE_REJECTED(Rejected6, Q::executeTask("t", {"-v"}, LaunchedFrom{"/"}));
TOVE_REJECTED(Rejected7, Q::executeTask("t", Arguments{}, {"x"}));
TOVE_REJECTED(Rejected8, Q::executeTask("t", "/tmp"));
TOVE_REJECTED(Rejected9, Q::outputOfTask("t", {"-v"}));
TOVE_REJECTED(Rejected10, Q::outputOfTask("t", {"-v"}, true));
TOVE_REJECTED(Rejected11, Q::outputOfTask("t", "-v"));
TOVE_REJECTED(Rejected12, Q::outputOfTask("t", 1));
TOVE_REJECTED(Rejected13, Q::outputOfTask("t", Arguments{}, "x"));
TOVE_REJECTED(Rejected14, Q::outputOfTask("t", Input{}, "x"));
TOVE_REJECTED(Rejected15, Q::outputOfTask("t", Input{}, Arguments{}));
TOVE_REJECTED(Rejected16, Q::outputOfTask("t", "x", Reject{}));

}  // namespace
