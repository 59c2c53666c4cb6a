#include "sparkler/Manifest.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "sparkler/Utf8.h"

namespace sparkler::Manifest {
namespace {

using nlohmann::json;

const json* member(const json& object, const char* key) {
  auto it = object.find(key);
  return it == object.end() ? nullptr : &*it;
}

// Refuses a document nested deeper than its bound while it is read, before any tree is built:
// a tree as deep as the server likes would be walked recursively by whatever touches it next
// (a dump, a comparison, a copy) and overflow the stack.
class DepthCheck final : public nlohmann::json_sax<json> {
 public:
  explicit DepthCheck(std::size_t maximumDepth) : maximumDepth_(maximumDepth) {}
  std::string reason;

  bool null() override { return true; }
  bool boolean(bool) override { return true; }
  bool number_integer(number_integer_t) override { return true; }
  bool number_unsigned(number_unsigned_t) override { return true; }
  bool number_float(number_float_t, const string_t&) override { return true; }
  bool string(string_t&) override { return true; }
  bool binary(binary_t&) override { return true; }
  bool key(string_t&) override { return true; }
  bool start_object(std::size_t) override { return enter(); }
  bool end_object() override { return leave(); }
  bool start_array(std::size_t) override { return enter(); }
  bool end_array() override { return leave(); }
  bool parse_error(std::size_t position, const std::string&, const json::exception&) override {
    reason = "it is not JSON (an error at byte " + std::to_string(position) + ")";
    return false;
  }

 private:
  bool enter() {
    if (++depth_ <= maximumDepth_) return true;
    reason = "it is nested more than " + std::to_string(maximumDepth_) + " deep";
    return false;
  }
  bool leave() {
    --depth_;
    return true;
  }
  const std::size_t maximumDepth_;
  std::size_t depth_ = 0;
};

// Why the newest entry cannot be acted on; empty when its known keys have their types.
std::string malformation(const json& newest) {
  if (!newest.is_object()) return "its newest entry is not an object";
  for (const char* key : {"version", "name", "hash"}) {
    const json* value = member(newest, key);
    if (value != nullptr && !value->is_string()) {
      return std::string("its newest entry's \"") + key + "\" is not a string";
    }
  }
  const json* size = member(newest, "size");
  if (size != nullptr && !size->is_number()) return "its newest entry's \"size\" is not a number";
  return {};
}

// "size" as an unsigned integer; anything that is not a whole non-negative number counts as
// 0 and so fails the size check.
std::uint64_t sizeOf(const json& entry) {
  const json* size = member(entry, "size");
  if (size == nullptr) return 0;
  if (size->is_number_unsigned()) return size->get<std::uint64_t>();
  if (size->is_number_integer())
    return static_cast<std::uint64_t>(std::max<std::int64_t>(size->get<std::int64_t>(), 0));
  if (size->is_number_float()) {
    double value = size->get<double>();
    if (std::isfinite(value) && value >= 0 && value <= 1e18 && std::floor(value) == value) {
      return static_cast<std::uint64_t>(value);
    }
  }
  return 0;
}

const std::string* nonEmptyString(const json& entry, const char* key) {
  const json* value = member(entry, key);
  if (value == nullptr || !value->is_string()) return nullptr;
  const auto& text = value->get_ref<const std::string&>();
  return text.empty() ? nullptr : &text;
}

void setReason(std::string* reason, std::string text) {
  if (reason != nullptr) *reason = std::move(text);
}

// A line feed, return or tab as \n, \r or \t; another code point as \uXXXX; a byte that is
// not UTF-8 as \xXX.
std::string escaped(char32_t value, char kind) {
  if (value == '\n') return "\\n";
  if (value == '\r') return "\\r";
  if (value == '\t') return "\\t";
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text{'\\', kind};
  for (int shift = kind == 'x' ? 4 : 12; shift >= 0; shift -= 4)
    text += kDigits[(value >> shift) & 0xF];
  return text;
}

// Collects the first `limit` bytes of a rendering and counts all of it.
class BoundedText {
 public:
  explicit BoundedText(std::size_t limit) : limit_(limit) {}

  void add(std::string_view piece) {
    total_ += piece.size();
    if (text_.size() < limit_) text_.append(piece.substr(0, limit_ - text_.size()));
  }
  void addSpaces(std::size_t count) {
    total_ += count;
    if (text_.size() < limit_) text_.append(std::min(count, limit_ - text_.size()), ' ');
  }

  bool longer() const { return total_ > limit_; }

  // The text when it all fits; else its start and "… (N more bytes)", together at most
  // `limit` bytes.
  std::string take() {
    if (total_ <= limit_) return std::move(text_);
    const auto marker = [this](std::size_t kept) {
      return "\u2026 (" + std::to_string(total_ - kept) + " more bytes)";
    };
    const std::size_t longest = marker(0).size();
    if (longest > limit_) {
      text_.resize(Utf8::boundaryAtOrBefore(text_, limit_));
      return std::move(text_);
    }
    const std::size_t kept = Utf8::boundaryAtOrBefore(text_, limit_ - longest);
    text_.resize(kept);
    text_ += marker(kept);
    return std::move(text_);
  }

 private:
  std::size_t limit_;
  std::size_t total_ = 0;
  std::string text_;
};

bool isSHA256(std::string_view text) {
  return text.size() == 64 && std::all_of(text.begin(), text.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
         });
}

constexpr std::size_t kIndent = 2;

std::string leafText(const json& value) {
  return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

}  // namespace

std::optional<nlohmann::json> parseBounded(std::string_view text, std::size_t maximumDepth,
                                           std::string* reason) {
  DepthCheck check(maximumDepth);
  if (!json::sax_parse(text.begin(), text.end(), &check)) {
    setReason(reason, check.reason.empty() ? "it is not JSON" : check.reason);
    return std::nullopt;
  }
  json parsed = json::parse(text.begin(), text.end(), nullptr, false);
  if (parsed.is_discarded()) {
    setReason(reason, "it is not JSON");
    return std::nullopt;
  }
  return parsed;
}

std::optional<json> read(std::string_view body, std::string* reason) noexcept {
  try {
    if (body.empty()) {
      setReason(reason, "it is empty");
      return std::nullopt;
    }
    if (body.size() > kMaximumSize) {
      setReason(reason, "it is larger than " + std::to_string(kMaximumSize) + " bytes");
      return std::nullopt;
    }
    auto document = parseBounded(body, kMaximumDepth, reason);
    if (!document) return std::nullopt;
    json parsed = std::move(*document);
    if (!parsed.is_array()) {
      setReason(reason, "it is not a list of updates");
      return std::nullopt;
    }
    if (parsed.empty()) {
      setReason(reason, "it lists no updates");
      return std::nullopt;
    }
    if (auto why = malformation(parsed.back()); !why.empty()) {
      setReason(reason, std::move(why));
      return std::nullopt;
    }
    return parsed;
  } catch (...) {
    setReason(reason, "it could not be read (out of memory)");
    return std::nullopt;
  }
}

std::string describe(const json& entry, std::size_t maxBytes, bool* shortened) noexcept {
  if (shortened != nullptr) *shortened = false;
  try {
    BoundedText out(maxBytes);
    struct Frame {
      const json* container;
      json::const_iterator next;
      std::size_t level;
    };
    std::vector<Frame> open;
    // Writes a scalar whole, or opens a container whose members the loop below writes.
    const auto start = [&](const json& value, std::size_t level) {
      if (!value.is_object() && !value.is_array()) {
        out.add(leafText(value));
      } else if (value.empty()) {
        out.add(value.is_object() ? "{}" : "[]");
      } else {
        out.add(value.is_object() ? "{\n" : "[\n");
        open.push_back({&value, value.cbegin(), level});
      }
    };
    start(entry, 0);
    while (!open.empty()) {
      Frame& frame = open.back();
      const std::size_t level = frame.level;
      if (frame.next == frame.container->cend()) {
        const bool object = frame.container->is_object();
        open.pop_back();
        out.add("\n");
        out.addSpaces(level * kIndent);
        out.add(object ? "}" : "]");
        continue;
      }
      if (frame.next != frame.container->cbegin()) out.add(",\n");
      out.addSpaces((level + 1) * kIndent);
      if (frame.container->is_object()) {
        out.add(leafText(json(frame.next.key())));
        out.add(": ");
      }
      const json& member = *frame.next;
      ++frame.next;
      // `frame` may move when start() opens a container.
      start(member, level + 1);
    }
    if (shortened != nullptr) *shortened = out.longer();
    return out.take();
  } catch (...) {
    return {};
  }
}

std::optional<Entry> checkedEntry(const json& entry, std::string* reason,
                                  std::uint64_t maximumImageSize, bool requireSHA256) noexcept {
  try {
    if (!entry.is_object() || entry.empty()) {
      setReason(reason, "the entry is not an object with keys");
      return std::nullopt;
    }
    const std::string* name = nonEmptyString(entry, "name");
    if (name == nullptr) {
      setReason(reason, "the entry has no \"name\"");
      return std::nullopt;
    }
    // A name with a separator or a dot name would put the file outside the cache folder.
    if (!isPlainFileName(*name)) {
      setReason(reason, "the entry's name \"" + excerpt(*name) + "\" is not a plain file name");
      return std::nullopt;
    }
    const std::string* hash = nonEmptyString(entry, "hash");
    if (hash == nullptr) {
      setReason(reason, "the entry has no \"hash\"");
      return std::nullopt;
    }
    const std::uint64_t size = sizeOf(entry);
    if (size < 1 || size > maximumImageSize) {
      setReason(reason, "the entry's size is not a whole number from 1 to " +
                            std::to_string(maximumImageSize));
      return std::nullopt;
    }
    // Without keys a malformed "sha256" is ignored, as it was before entries had one: only a
    // bundle that trusts keys may refuse an entry for it.
    const std::string* sha256 = nonEmptyString(entry, "sha256");
    const bool wellFormed = sha256 != nullptr && isSHA256(*sha256);
    if (requireSHA256 && !wellFormed) {
      setReason(reason, "the entry has no \"sha256\" of 64 lowercase hexadecimal digits");
      return std::nullopt;
    }
    return Entry{*name, *hash, size, wellFormed ? *sha256 : std::string()};
  } catch (...) {
    setReason(reason, "the entry could not be read (out of memory)");
    return std::nullopt;
  }
}

std::optional<Version> versionOf(const json& entry) noexcept {
  if (!entry.is_object() || entry.empty()) return std::nullopt;
  const json* version = member(entry, "version");
  if (version == nullptr || !version->is_string()) return std::nullopt;
  return Version::versionWithString(version->get_ref<const std::string&>());
}

bool isPlainFileName(std::string_view name) noexcept {
  return !name.empty() && name != "." && name != ".." && name.size() <= 255 &&
         name.find('/') == std::string_view::npos && name.find('\0') == std::string_view::npos;
}

std::string excerpt(std::string_view text, std::size_t maxBytes) noexcept {
  try {
    std::string quoted;
    for (std::size_t i = 0; i < text.size();) {
      char32_t point = 0;
      const std::size_t length = Utf8::decodeAt(text, i, point);
      const std::string piece = length == 0 ? escaped(static_cast<unsigned char>(text[i]), 'x')
                                : Utf8::isControlOrLineBreak(point)
                                    ? escaped(point, 'u')
                                    : std::string(text.substr(i, length));
      if (quoted.size() + piece.size() > maxBytes) return quoted + "\u2026";
      quoted += piece;
      i += length == 0 ? 1 : length;
    }
    return quoted;
  } catch (...) {
    return {};
  }
}

}  // namespace sparkler::Manifest
