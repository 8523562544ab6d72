#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace corvane::detail {

/// One entry of a manifest's "arrays": where an output's bytes lie in the payload and how to read them.
struct ManifestArray {
  std::vector<std::size_t> shape;
  std::string dtype;
  std::uint64_t offset = 0;
  std::uint64_t nbytes = 0;
};

/// A frame manifest read by the fast reader: the caller's "structure" tree and the array descriptors.
struct SimpleManifest {
  nlohmann::json structure;
  std::vector<ManifestArray> arrays;
};

/// Reads a frame manifest in one pass, without building a tree for anything but "structure". It accepts
/// only a plain subset of JSON on which its result is exactly what nlohmann/json's parser gives: a
/// top-level object holding "structure" and "arrays" once each; "arrays" an array of objects with
/// "shape" (non-negative integers), "dtype" (a string), "offset" and "nbytes" (non-negative integers);
/// ASCII strings without escapes or control characters; integers that fit 64 bits; floating values in
/// the range of double; nesting at most kManifestDepthLimit deep. On anything else it returns nullopt
/// and the caller falls back to nlohmann/json, which then raises its own errors. Never throws anything
/// but std::bad_alloc and never reads outside `text`.
std::optional<SimpleManifest> readSimpleManifest(std::string_view text);

/// The deepest nesting of arrays and objects the fast reader follows (the top-level object is level 1).
constexpr int kManifestDepthLimit = 64;

}  // namespace corvane::detail
