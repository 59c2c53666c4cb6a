#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace sparkler::SearchPath {

/// The first executable `name` in the folders of $PATH, then of `moreFolders` (a list in
/// $PATH's form); relative folders are passed over. nullopt when there is none, or when
/// `name` is empty or holds a '/'.
std::optional<std::string> find(std::string_view name, std::string_view moreFolders = {});

}  // namespace sparkler::SearchPath
