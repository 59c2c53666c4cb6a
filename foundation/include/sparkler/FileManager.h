#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <type_traits>

namespace sparkler::FileManager {

/// Why a guarded replacement stopped; codes of replaceErrorCategory(), name "replace".
enum class ReplaceError {
  unsupportedItem = 1,  // a device, FIFO or socket in the new tree
  tooLarge,             // the copy would take more disk than maxDiskBytes
  tooManyItems,         // more than maxItems items
  tooDeep,              // folders nested deeper than maxDepth
  linkOutside,          // a symbolic link that is absolute or resolves outside the copied item
  rejected,             // `validate` refused the finished copy
  cancelled,            // `progress` returned false
};

/// The category of ReplaceError codes. unsupportedItem compares equal to
/// std::errc::operation_not_supported and cancelled to std::errc::operation_canceled.
const std::error_category& replaceErrorCategory() noexcept;
/// `error` as a code of replaceErrorCategory().
std::error_code make_error_code(ReplaceError error) noexcept;

/// Folders nested deeper than this below the copied item are never copied, whatever the
/// options say: the copier holds two descriptors per level.
inline constexpr unsigned kDepthCeiling = 256;
/// Longest symbolic link target copied or followed (the longest Linux creates).
inline constexpr std::size_t kLinkLengthCeiling = 4095;
/// Disk accounting unit: file data counts in whole blocks of this size, and every item
/// (file, folder, link) costs one block besides.
inline constexpr std::uint64_t kDiskBlockSize = 4096;

struct ReplaceOptions {
  /// Drop set-user-id, set-group-id, sticky and group/other write bits; the owner keeps read
  /// (and search on folders) and write, so the tree can always be removed by its owner.
  bool safeModes = false;
  /// When the process runs as root: every item of the copy, links included, takes the owner
  /// and group of the old item (of the folder that holds it when there is no old item).
  bool keepOwner = false;
  /// 0: no bound. What the copy takes on disk: kDiskBlockSize for each item, plus
  /// kDiskBlockSize for each block of file data holding a byte other than zero (blocks of
  /// zeros become holes and count nothing).
  std::uint64_t maxDiskBytes = 0;
  /// 0: no bound. Items of the copy, the copied item itself included.
  std::uint64_t maxItems = 0;
  /// 0: kDepthCeiling. The copied item is at depth 0, what it holds at depth 1, and so on;
  /// a folder at a depth greater than this stops the copy.
  unsigned maxDepth = 0;
  /// Every symbolic link is relative and resolves, through the links of the copy (at most 40
  /// of them), to an existing item inside the copy. A link to nothing is refused.
  bool linksStayInside = false;
  /// Runs on the finished copy (its path) before the swap; a reason refuses the replacement.
  /// A copied folder still has mode 0700 at that point, so that nobody else reaches into it
  /// before the swap; everything inside it has its final mode and owner.
  std::function<std::optional<std::string>(const std::string& copyPath)> validate;
  /// Called as the copy advances (after each item and at least every MiB of file data read,
  /// holes included); false cancels.
  std::function<bool(std::uint64_t bytesCopied, std::uint64_t itemsCopied)> progress;
};

/// Puts a copy of the item at `newPath` (file, link or folder tree) where `oldPath` stands.
/// Both paths must begin with "/": otherwise false, nothing touched, `error` not written.
/// The copy is made beside the old item first and swapped in, so a failed copy leaves the
/// old item as it was; a missing old item counts as removed. Modes are copied as they are
/// and holes in files stay holes. On failure `error` (when not null) receives the cause.
bool replaceItemAtPath(std::string_view oldPath, std::string_view newPath,
                       std::error_code* error) noexcept;

/// As the plain form, guarded by `options`. On failure (false) `error` gets the cause (an
/// errno code or a ReplaceError) and `detail` (when not null) one line naming the item
/// concerned, relative to the new item ("Resources/x: symbolic link to /etc leads outside").
bool replaceItemAtPath(std::string_view oldPath, std::string_view newPath,
                       const ReplaceOptions& options, std::error_code* error,
                       std::string* detail = nullptr) noexcept;

/// Removes the hidden partial copies (and set-aside old items) that replacements of
/// `oldPath` left beside it when their process was killed; those of a replacement still
/// running, in this or another process, are kept. A set-aside old item is put back instead
/// when nothing stands at `oldPath`. Returns how many were removed or put back (0 when the
/// folder cannot be read). Every replacement does this first for the item it replaces.
std::size_t removeAbandonedCopies(std::string_view oldPath) noexcept;

}  // namespace sparkler::FileManager

template <>
struct std::is_error_code_enum<sparkler::FileManager::ReplaceError> : std::true_type {};
