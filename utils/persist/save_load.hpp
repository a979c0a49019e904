// Saving and loading an index as two JSON files ("index.json" holds the
// documents, "token_index.json" the tokens).
#pragma once

#include <string>
#include <string_view>

#include "index/index.hpp"

namespace vantoro {

// Write one file at exactly `path`. On failure: Fault "Unable to write
// file: <description>", and a file that existed keeps its previous content.
void save_index(const Index& index, std::string_view path);
void save_token_index(const Index& index, std::string_view path);
// Writes both files into `directory`, then prints the saved message.
void save(const Index& index, std::string_view directory);
// Reads and decodes both files of `directory`, then replaces the documents
// and tokens of `index` and prints the loaded message; on any failure the
// index is left as it was.
void load(Index& index, std::string_view directory);

// `directory`, then "/" unless it is empty or already ends with one, then
// `file_name`.
std::string join_path(std::string_view directory, std::string_view file_name);

}  // namespace vantoro
