#include "persist/save_load.hpp"

#include "fault.hpp"
#include "index/builder.hpp"
#include "persist/file_io.hpp"
#include "persist/json_reader.hpp"
#include "persist/json_writer.hpp"
#include "progress/stdout_line.hpp"

namespace vantoro {
namespace {

constexpr std::string_view kDocumentsFile = "index.json";
constexpr std::string_view kTokensFile = "token_index.json";

void write_or_fault(std::string_view path, const persist::ByteBuffer& bytes) {
  try {
    persist::replace_file(path, bytes.view());
  } catch (const persist::IoFailure& failure) {
    throw Fault("Unable to write file: " + failure.description);
  }
}

persist::ByteBuffer read_or_fault(std::string_view path) {
  try {
    return persist::read_text_file(path);
  } catch (const persist::IoFailure& failure) {
    throw Fault("Unable to read file: " + failure.description);
  }
}

std::string counts_message(const char* verb, const Index& index) {
  return std::string(verb) + " index with " + std::to_string(index.document_count()) + " documents and " +
         std::to_string(index.token_count()) + " tokens\n";
}

}  // namespace

std::string join_path(std::string_view directory, std::string_view file_name) {
  std::string path(directory);
  if (!path.empty() && path.back() != '/') path += '/';
  path += file_name;
  return path;
}

void save_index(const Index& index, std::string_view path) {
  write_or_fault(path, persist::encode_documents(index));
}

void save_token_index(const Index& index, std::string_view path) {
  write_or_fault(path, persist::encode_tokens(index));
}

void save(const Index& index, std::string_view directory) {
  // The documents file is complete before the token file is started.
  save_index(index, join_path(directory, kDocumentsFile));
  save_token_index(index, join_path(directory, kTokensFile));
  write_stdout(counts_message("Saved", index));
}

void load(Index& index, std::string_view directory) {
  // Everything is read and decoded before anything is replaced, so a
  // failure at any step leaves the index as it was.
  persist::ByteBuffer documents = read_or_fault(join_path(directory, kDocumentsFile));
  persist::ByteBuffer tokens = read_or_fault(join_path(directory, kTokensFile));
  IndexBuilder builder;
  try {
    persist::decode_documents(documents.view(), builder);
    documents.release();
    persist::decode_tokens(tokens.view(), builder);
    tokens.release();
  } catch (const persist::FormatError& error) {
    throw Fault("called `Result::unwrap()` on an `Err` value: " + error.text());
  }
  Index fresh = builder.take();
  // Made before the index changes: nothing may fail after the replacement.
  const std::string message = counts_message("Loaded", fresh);
  index.replace_contents(std::move(fresh));
  write_stdout(message);
}

}  // namespace vantoro
