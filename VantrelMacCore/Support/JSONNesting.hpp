#pragma once

// A bound on how deeply a JSON text nests arrays and objects, checked on the text before any
// document is built. The JSON library builds, copies, compares and writes documents
// recursively, so a small file of nothing but brackets would otherwise overflow the stack of
// whoever touches the document later.

#include <cstddef>
#include <string_view>

namespace vantrel {

// Deeper than any JSON this program reads needs (settings, connection and route files, records,
// answers and requests all nest a handful of levels).
inline constexpr std::size_t maximumJSONNesting = 32;

// Whether `text` nests arrays and objects no deeper than `limit`, counting brackets outside
// strings. For valid JSON this is exactly its depth; text that is not JSON is left for the
// parser to refuse.
bool jsonNestingWithin(std::string_view text, std::size_t limit = maximumJSONNesting) noexcept;

}  // namespace vantrel
